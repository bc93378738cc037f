#include "views/shares/TypeNavigatorDialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <map>

#include "store/Data.h"

TypeNavigatorDialog* typeNavigatorDialog = nullptr;

namespace {
// Steps of one search. The number of chains grows steeply with the number of
// relations, so a rich schema must not freeze the window.
constexpr long kSearchBudget = 200000;
constexpr std::size_t kMaxPaths = 500;
constexpr int kMaxDepth = 6;
}  // namespace

TypeNavigatorDialog::TypeNavigatorDialog(QWidget* parent)
    : QDialog(parent), mp_from(new QComboBox), mp_to(new QComboBox), mp_chart(new QTextEdit) {
    typeNavigatorDialog = this;
    setWindowTitle("Type Navigator");
    setAttribute(Qt::WA_DeleteOnClose);
    resize(969, 262);
    mp_from->setObjectName("fromTypeBox");
    mp_to->setObjectName("toTypeBox");
    mp_chart->setObjectName("chartEdit");
    mp_chart->setReadOnly(true);
    auto* layout = new QVBoxLayout(this);
    auto* boxes = new QHBoxLayout;
    boxes->addWidget(mp_from);
    boxes->addWidget(mp_to);
    layout->addLayout(boxes);
    layout->addWidget(mp_chart);
    connect(mp_from, &QComboBox::currentTextChanged, this,
            &TypeNavigatorDialog::onFromTypeSelectionChanged);
    connect(mp_to, &QComboBox::currentTextChanged, this,
            &TypeNavigatorDialog::onToTypeSelectionChanged);
}

TypeNavigatorDialog::~TypeNavigatorDialog() {
    if (typeNavigatorDialog == this)
        typeNavigatorDialog = nullptr;
}

void TypeNavigatorDialog::Init() {
    std::map<std::string, Type*> types;
    d.GetTypes(types);
    for (const auto& entry : types)
        mp_from->addItem(QString::fromStdString(entry.first));
}

// Breadth first: the same set as walking every chain of up to six steps, in
// time linear in the schema.
void TypeNavigatorDialog::GetRelatedTypes(const std::string& type, std::set<std::string>& names,
                                          int depth) {
    std::vector<Type*> frontier;
    if (Type* start = d.FindType(type.c_str()))
        frontier.push_back(start);
    std::set<Type*> seen(frontier.begin(), frontier.end());
    for (; depth <= kMaxDepth && !frontier.empty(); ++depth) {
        std::vector<Type*> next;
        for (Type* t : frontier) {
            std::map<Type*, RelationInfo> related;
            t->GetRelatedTypes(related);
            for (const auto& entry : related) {
                names.insert(entry.first->GetName());
                if (seen.insert(entry.first).second)
                    next.push_back(entry.first);
            }
        }
        frontier.swap(next);
    }
}

void TypeNavigatorDialog::onFromTypeSelectionChanged(QString type) {
    const QSignalBlocker blocker(mp_to);
    mp_to->clear();
    const std::string from = type.toStdString();
    std::set<std::string> names{from};
    GetRelatedTypes(from, names, 1);
    names.erase(from);
    for (const std::string& name : names)
        mp_to->addItem(QString::fromStdString(name));
    onToTypeSelectionChanged(mp_to->currentText());
}

void TypeNavigatorDialog::onToTypeSelectionChanged(QString) {
    const std::string from = mp_from->currentText().toStdString();
    const std::string to = mp_to->currentText().toStdString();
    m_paths.clear();
    mp_chart->clear();
    if (!d.FindType(from.c_str()) || !d.FindType(to.c_str()))
        return;
    std::vector<std::string> path;
    m_budget = kSearchBudget;
    FindPath(from, to, path);
    for (const auto& found : m_paths)
        mp_chart->append(PathLine(found));
}

void TypeNavigatorDialog::FindPath(const std::string& from, const std::string& to,
                                   std::vector<std::string>& path) {
    if (int(path.size()) >= kMaxPathNames || --m_budget < 0 || m_paths.size() >= kMaxPaths)
        return;
    path.push_back(from);
    if (from == to) {
        auto at = std::find_if(m_paths.begin(), m_paths.end(),
                               [&](const auto& p) { return p.size() > path.size(); });
        m_paths.insert(at, path);
        path.pop_back();
        return;
    }
    std::map<Type*, RelationInfo> related;
    d.GetType(from)->GetRelatedTypes(related);
    for (const auto& entry : related) {
        const std::string& name = entry.first->GetName();
        if (std::find(path.begin(), path.end(), name) == path.end())
            FindPath(name, to, path);
    }
    path.pop_back();
}

QString TypeNavigatorDialog::PathLine(const std::vector<std::string>& path) const {
    QString line;
    bool allOne = true;
    for (std::size_t k = 0; k < path.size(); ++k) {
        Type* type = d.GetType(path[k]);
        if (k > 0) {
            const bool one = d.GetType(path[k - 1])->GetRelation(type).otherPerThis == One;
            allOne = allOne && one;
            line += one ? " -&gt; " : " =&gt; ";
        }
        line += "<b>" + QString::fromStdString(path[k]).toHtmlEscaped() + "</b>";
        if (type->IsNull())
            line += " [null]";
    }
    const QString prefix =
        allOne ? QString("<font color=green><b>[%1]</b></font> ") : QString("[%1] ");
    return prefix.arg(path.size()) + line;
}
