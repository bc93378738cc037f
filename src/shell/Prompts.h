#ifndef TAVENOOK_SHELL_PROMPTS_H
#define TAVENOOK_SHELL_PROMPTS_H

// Every modal question, message box and chooser of the views goes through
// here, so that a test can answer them without a modal loop on screen.

#include <QMessageBox>
#include <QString>
#include <functional>

class QAction;
class QDialog;
class QFont;
class QMenu;
class QPoint;
class QWidget;

namespace prompts {

struct Box {
    bool question = false;  // Yes/No; otherwise one OK button
    QString title;
    QString text;
    QMessageBox::StandardButton defaultButton = QMessageBox::No;
};

using BoxHandler = std::function<QMessageBox::StandardButton(QWidget* parent, const Box& box)>;
using DialogHandler = std::function<int(QDialog* dialog)>;
using ChooseHandler = std::function<QString(QWidget* parent, const QString& caption)>;
// Answers a context menu: the action to choose, or null to dismiss it.
using MenuHandler = std::function<QAction*(QMenu* menu, const QPoint& globalPos)>;
// Answers a font chooser: the font chosen (the offered one when cancelled).
using ChooseFontHandler = std::function<QFont(const QFont& offered)>;

// Null restores the real boxes, modal loops and choosers.
void SetBoxHandler(BoxHandler handler);
void SetDialogHandler(DialogHandler handler);
void SetChooseFolderHandler(ChooseHandler handler);
void SetChooseSaveFileHandler(ChooseHandler handler);
void SetChooseOpenFileHandler(ChooseHandler handler);
void SetMenuHandler(MenuHandler handler);
void SetChooseFontHandler(ChooseFontHandler handler);

void Inform(QWidget* parent, const QString& title, const QString& text);
// Confirmations default to No; a question that invites the user says so.
bool AskYesNo(QWidget* parent, const QString& title, const QString& text,
              QMessageBox::StandardButton defaultButton = QMessageBox::No);
// Runs the dialog modally; returns its result code.
int RunModal(QDialog* dialog);
// A directory chosen by the user, or empty when cancelled.
QString ChooseFolder(QWidget* parent, const QString& caption);
// A file name to write to, or empty when cancelled.
QString ChooseSaveFile(QWidget* parent, const QString& caption,
                       const QString& startName = QString(), const QString& filter = QString());
// An existing file to read, or empty when cancelled.
QString ChooseOpenFile(QWidget* parent, const QString& caption, const QString& filter = QString());
// A font chosen by the user; the offered font when cancelled.
QFont ChooseFont(const QFont& offered);
// Runs a context menu at the point; returns the chosen action (already
// triggered), or null.
QAction* ExecMenu(QMenu* menu, const QPoint& globalPos);

}  // namespace prompts

#endif
