#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QPalette>
#include <QTextBlock>
#include <QUrl>

#include "shell/ActionSetToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "store/Data.h"
#include "store/Settings.h"
#include "ui_ChatLogForm.h"
#include "views/chat/ChatLogForm.h"

namespace {
constexpr qint64 kReadPiece = 65536;

// The input background colour, unless the text is drawn on (nearly) that
// colour already, where such a mark would be invisible.
QColor MarkColor(const QPalette& palette) {
    const QColor setting(GetSetting("color_input_background"));
    const QColor base = palette.color(QPalette::Base);
    const auto distance = [](const QColor& a, const QColor& b) {
        return qAbs(a.red() - b.red()) + qAbs(a.green() - b.green()) + qAbs(a.blue() - b.blue());
    };
    constexpr int kVisible = 96;
    if (setting.isValid() && distance(setting, base) >= kVisible)
        return setting;
    const QColor highlight = palette.color(QPalette::Highlight);
    if (distance(highlight, base) >= kVisible)
        return highlight;
    return base.lightness() < 128 ? QColor(Qt::yellow) : QColor(Qt::darkBlue);
}
}  // namespace

ChatLogForm::ChatLogForm(QString path, QWidget* parent)
    : QWidget(parent), mp_ui(new Ui::ChatLogForm) {
    mp_ui->setupUi(this);
    mp_ui->searchBackButton->setIcon(QIcon(":/icons/back_icon"));
    mp_ui->searchForwardButton->setIcon(QIcon(":/icons/forward_icon"));
    mp_ui->searchBackButton->setEnabled(false);
    mp_ui->searchForwardButton->setEnabled(false);
    connect(mp_ui->searchEdit, &QLineEdit::textChanged, this, &ChatLogForm::OnSearchTextChanged);
    connect(mp_ui->searchBackButton, &QPushButton::clicked, this, &ChatLogForm::OnSearchBack);
    connect(mp_ui->searchForwardButton, &QPushButton::clicked, this, &ChatLogForm::OnSearchForward);
    RegisterWidgetForTabFocus(mp_ui->searchEdit, 1);

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    mp_ui->logEdit->setUpdatesEnabled(false);
    while (!file.atEnd()) {
        const QByteArray piece = file.readLine(kReadPiece);
        if (piece.isEmpty())
            break;
        const int nul = piece.indexOf('\0');
        AppendPlain(QString::fromUtf8(nul < 0 ? piece : piece.left(nul)).trimmed());
    }
    mp_ui->logEdit->setUpdatesEnabled(true);
    m_path = path;
    if (actionBar) {
        actionBar->RegisterWidget(this, "chat_log");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &ChatLogForm::OnActionTriggered);
    }
}

ChatLogForm::~ChatLogForm() {
    Type* type = d.GetType("chat_log_form");
    const ItemPtr item = type->HasItem(Value(this));
    if (!item.IsNull())
        item.Remove();
    delete mp_ui;
}

void ChatLogForm::AddLine(QString line) {
    AppendPlain(line.trimmed());
}

void ChatLogForm::AppendPlain(const QString& line) {
    // Plain text: a logged line is another user's words, never markup.
    QTextCursor cursor(mp_ui->logEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (m_lines++ > 0)
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.insertText(line);
}

void ChatLogForm::OnSearchTextChanged(QString text) {
    QTextEdit* view = mp_ui->logEdit;
    view->setUpdatesEnabled(false);
    view->moveCursor(QTextCursor::Start);
    mp_ui->searchBackButton->setEnabled(false);
    mp_ui->searchForwardButton->setEnabled(false);
    if (text.isEmpty() || !view->find(text))
        view->setExtraSelections({});
    else
        MarkFind();
    view->setUpdatesEnabled(true);
}

void ChatLogForm::OnSearchForward() {
    QTextEdit* view = mp_ui->logEdit;
    view->setUpdatesEnabled(false);
    QTextCursor cursor = view->textCursor();
    cursor.clearSelection();
    cursor.movePosition(QTextCursor::NextCharacter);
    view->setTextCursor(cursor);
    if (view->find(mp_ui->searchEdit->text()))
        MarkFind();
    view->setUpdatesEnabled(true);
}

void ChatLogForm::OnSearchBack() {
    QTextEdit* view = mp_ui->logEdit;
    view->setUpdatesEnabled(false);
    if (view->find(mp_ui->searchEdit->text(), QTextDocument::FindBackward))
        MarkFind();
    view->setUpdatesEnabled(true);
}

void ChatLogForm::MarkFind() {
    QTextEdit* view = mp_ui->logEdit;
    const int length = mp_ui->searchEdit->text().size();
    const int start = view->textCursor().position() - length;
    QTextEdit::ExtraSelection mark;
    mark.cursor = QTextCursor(view->document());
    mark.cursor.setPosition(start);
    mark.cursor.setPosition(start + length, QTextCursor::KeepAnchor);
    const QColor color = MarkColor(view->palette());
    mark.format.setBackground(color);
    mark.format.setForeground(color.lightness() < 128 ? QColor(Qt::white) : QColor(Qt::black));
    view->setExtraSelections({mark});
    MarkSearchButtons();
    view->moveCursor(QTextCursor::End);
    QTextCursor at(view->document());
    at.setPosition(start);
    view->setTextCursor(at);
}

void ChatLogForm::MarkSearchButtons() {
    QTextEdit* view = mp_ui->logEdit;
    const QString text = mp_ui->searchEdit->text();
    const QTextCursor kept = view->textCursor();
    QTextCursor probe(view->document());
    probe.setPosition(kept.position());
    probe.movePosition(QTextCursor::NextCharacter);
    view->setTextCursor(probe);
    mp_ui->searchForwardButton->setEnabled(view->find(text));
    view->setTextCursor(kept);
    mp_ui->searchBackButton->setEnabled(view->find(text, QTextDocument::FindBackward));
    view->setTextCursor(kept);
}

void ChatLogForm::OnActionTriggered(QWidget* widget, QString action) {
    if (widget != this)
        return;
    if (action == QLatin1String("clear_chat_log")) {
        if (!prompts::AskYesNo(nullptr, "Clear log?",
                               "Are you sure you want to erase the contents of this log?"))
            return;
        if (QFile::exists(m_path) && !QFile::remove(m_path)) {
            prompts::Inform(nullptr, "Clear log?",
                            QString("The log file %1 could not be deleted.").arg(m_path));
            return;
        }
        mp_ui->logEdit->clear();
        m_lines = 0;
    } else if (action == QLatin1String("open_log_folder")) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(m_path).absolutePath()));
    }
}
