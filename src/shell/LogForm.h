#ifndef TAVENOOK_SHELL_LOGFORM_H
#define TAVENOOK_SHELL_LOGFORM_H

#include <QWidget>

class Ui_LogForm;

// A spare form holding one text browser; the diagnostics view shows the log.
class LogForm : public QWidget {
    Q_OBJECT

public:
    explicit LogForm(QWidget* parent = nullptr);
    ~LogForm() override;

    Ui_LogForm* ui() const { return mp_ui; }

private:
    Ui_LogForm* mp_ui;
};

#endif
