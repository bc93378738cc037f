#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QTextBlock>

#include "views/shares/DiagnosticsForm.h"

DiagnosticsForm* diagnosticsForm = nullptr;

DiagnosticsForm::DiagnosticsForm(QWidget* parent)
    : QWidget(parent), mp_text(new QPlainTextEdit(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(mp_text);
    mp_text->setReadOnly(true);
    mp_text->setMaximumBlockCount(kMaxLines);
    diagnosticsForm = this;
}

DiagnosticsForm::~DiagnosticsForm() {
    if (GetLogSink() == this)
        SetLogSink(nullptr);
    if (diagnosticsForm == this)
        diagnosticsForm = nullptr;
}

void DiagnosticsForm::Init() {
    SetLogSink(this);
}

void DiagnosticsForm::RegisterLoggableItemType(const QString& type) {
    if (!m_loggableTypes.contains(type))
        m_loggableTypes.append(type);
}

void DiagnosticsForm::Log(const QString& area, int level, const QString& text, const ItemPtr&) {
    mp_text->appendPlainText(QString("[%1] %2: %3").arg(area).arg(level).arg(text));
}

QStringList DiagnosticsForm::Lines() const {
    QStringList lines;
    for (QTextBlock block = mp_text->document()->begin(); block.isValid(); block = block.next())
        lines.append(block.text());
    return lines;
}
