#include "shell/Prompts.h"

#include <QAction>
#include <QDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QMenu>

namespace prompts {
namespace {
BoxHandler& Boxes() {
    static BoxHandler handler;
    return handler;
}
DialogHandler& Dialogs() {
    static DialogHandler handler;
    return handler;
}
ChooseHandler& Folders() {
    static ChooseHandler handler;
    return handler;
}
ChooseHandler& SaveFiles() {
    static ChooseHandler handler;
    return handler;
}

ChooseHandler& OpenFiles() {
    static ChooseHandler handler;
    return handler;
}

MenuHandler& Menus() {
    static MenuHandler handler;
    return handler;
}

ChooseFontHandler& Fonts() {
    static ChooseFontHandler handler;
    return handler;
}

QMessageBox::StandardButton Show(QWidget* parent, const Box& box) {
    if (Boxes())
        return Boxes()(parent, box);
    // Texts may carry what other users typed: never render them as markup.
    QMessageBox message(box.question ? QMessageBox::Question : QMessageBox::Information, box.title,
                        box.text, QMessageBox::NoButton, parent);
    message.setTextFormat(Qt::PlainText);
    if (box.question) {
        message.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        message.setDefaultButton(box.defaultButton);
    } else {
        message.setStandardButtons(QMessageBox::Ok);
    }
    return QMessageBox::StandardButton(message.exec());
}
}  // namespace

void SetBoxHandler(BoxHandler handler) {
    Boxes() = std::move(handler);
}
void SetDialogHandler(DialogHandler handler) {
    Dialogs() = std::move(handler);
}
void SetChooseFolderHandler(ChooseHandler handler) {
    Folders() = std::move(handler);
}
void SetChooseSaveFileHandler(ChooseHandler handler) {
    SaveFiles() = std::move(handler);
}

void SetChooseOpenFileHandler(ChooseHandler handler) {
    OpenFiles() = std::move(handler);
}

void SetMenuHandler(MenuHandler handler) {
    Menus() = std::move(handler);
}

void SetChooseFontHandler(ChooseFontHandler handler) {
    Fonts() = std::move(handler);
}

QFont ChooseFont(const QFont& offered) {
    if (Fonts())
        return Fonts()(offered);
    // A cancelled dialog hands back the offered font.
    return QFontDialog::getFont(nullptr, offered);
}

QAction* ExecMenu(QMenu* menu, const QPoint& globalPos) {
    if (!Menus())
        return menu->exec(globalPos);
    QAction* chosen = Menus()(menu, globalPos);
    if (chosen && chosen->isEnabled())
        chosen->trigger();
    return chosen;
}

void Inform(QWidget* parent, const QString& title, const QString& text) {
    Show(parent, Box{false, title, text});
}

bool AskYesNo(QWidget* parent, const QString& title, const QString& text,
              QMessageBox::StandardButton defaultButton) {
    return Show(parent, Box{true, title, text, defaultButton}) == QMessageBox::Yes;
}

int RunModal(QDialog* dialog) {
    if (Dialogs())
        return Dialogs()(dialog);
    return dialog->exec();
}

QString ChooseFolder(QWidget* parent, const QString& caption) {
    if (Folders())
        return Folders()(parent, caption);
    return QFileDialog::getExistingDirectory(parent, caption, QString(), QFileDialog::ShowDirsOnly);
}

QString ChooseSaveFile(QWidget* parent, const QString& caption, const QString& startName,
                       const QString& filter) {
    if (SaveFiles())
        return SaveFiles()(parent, caption);
    return QFileDialog::getSaveFileName(parent, caption, startName, filter);
}

QString ChooseOpenFile(QWidget* parent, const QString& caption, const QString& filter) {
    if (OpenFiles())
        return OpenFiles()(parent, caption);
    return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
}

}  // namespace prompts
