#ifndef TAVENOOK_SHELL_ELIDINGCOMBOBOX_H
#define TAVENOOK_SHELL_ELIDINGCOMBOBOX_H

#include <QComboBox>

// A combo box whose closed face cuts a long entry in the middle, so that
// entries sharing a long prefix still read apart; its tooltip is the whole
// current entry. The entries themselves, the opened list and currentText()
// stay whole.
class ElidingComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit ElidingComboBox(QWidget* parent = nullptr);

    // The current entry as the closed box shows it at its present width.
    QString DisplayedText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString Elided(const QStyleOptionComboBox& option) const;
};

#endif
