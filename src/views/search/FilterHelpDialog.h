#ifndef TAVENOOK_VIEWS_SEARCH_FILTERHELPDIALOG_H
#define TAVENOOK_VIEWS_SEARCH_FILTERHELPDIALOG_H

#include <QDialog>

class Ui_FilterHelpDialog;

// The help window of the filter language; at most one is open at a time.
class FilterHelpDialog : public QDialog {
    Q_OBJECT
public:
    explicit FilterHelpDialog(QWidget* parent = nullptr);
    ~FilterHelpDialog() override;

    // Shows the open help window, or opens one with this parent.
    static FilterHelpDialog* ShowHelp(QWidget* parent);

private:
    Ui_FilterHelpDialog* mp_ui;
};

extern FilterHelpDialog* filterHelpDialog;

#endif
