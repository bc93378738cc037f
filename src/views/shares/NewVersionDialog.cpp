#include "views/shares/NewVersionDialog.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>

#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "ui_NewVersionDialog.h"

namespace {
// The fields are kept narrow, but never narrower than their text.
void FitText(QLineEdit* edit, const QString& text) {
    edit->setText(text);
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    const QMargins margins = edit->textMargins();
    // QLineEdit keeps two pixels on each side of its text.
    const QSize content(
        edit->fontMetrics().horizontalAdvance(text) + margins.left() + margins.right() + 4 + 2,
        edit->sizeHint().height());
    const int width =
        edit->style()->sizeFromContents(QStyle::CT_LineEdit, &option, content, edit).width();
    edit->setMinimumWidth(width);
    edit->setMaximumWidth(qMax(edit->maximumWidth(), width));
}
}  // namespace

NewVersionDialog::NewVersionDialog(qint64 newest, QString url, QStringList description,
                                   QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::NewVersionDialog), m_newest(newest), m_url(std::move(url)) {
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("TavenookQt Update");
    FitText(mp_ui->currentVersionEdit, BuildLabel(g_currentVersion));
    FitText(mp_ui->newVersionEdit, BuildLabel(newest));
    QTextEdit* view = mp_ui->descriptionEdit;
    view->setUpdatesEnabled(false);
    // The release file is not ours to trust: its lines are shown as plain text.
    QTextCursor end(view->document());
    for (int i = 0; i < description.size(); ++i) {
        if (i > 0)
            end.insertBlock();
        end.insertText(description[i]);
    }
    QTextCursor start(view->document());
    start.movePosition(QTextCursor::Start);
    view->setTextCursor(start);
    view->ensureCursorVisible();
    view->setUpdatesEnabled(true);
    connect(mp_ui->downloadButton, &QPushButton::clicked, this,
            &NewVersionDialog::OnDownloadButtonClicked);
    connect(mp_ui->skipButton, &QPushButton::clicked, this, &NewVersionDialog::OnSkipButtonClicked);
}

NewVersionDialog::~NewVersionDialog() = default;

QString NewVersionDialog::BuildLabel(qint64 build) {
    return QString("Build %1/%2/%3").arg((build % 10000) / 100).arg(build % 100).arg(build / 10000);
}

void NewVersionDialog::OnDownloadButtonClicked() {
    const QUrl link(m_url);
    const QString scheme = link.scheme().toLower();
    // Only a web page may be handed to the desktop, never a local program.
    if (link.isValid() && (scheme == "http" || scheme == "https"))
        QDesktopServices::openUrl(link);
    else
        Log("Application", 1, QString("Not opening the release link \"%1\"").arg(m_url));
    close();
    if (mainWindow)
        mainWindow->close();
    // Closing the window alone would leave the program running unseen while
    // a dialog without a parent is open.
    ShellQuit();
}

void NewVersionDialog::OnSkipButtonClicked() {
    SetSetting("skip_version", m_newest);
    close();
}
