#include "shell/ElidingComboBox.h"

#include <QStyleOptionComboBox>
#include <QStylePainter>

ElidingComboBox::ElidingComboBox(QWidget* parent) : QComboBox(parent) {
    connect(this, &QComboBox::currentTextChanged, this, &QWidget::setToolTip);
}

QString ElidingComboBox::DisplayedText() const {
    QStyleOptionComboBox option;
    initStyleOption(&option);
    return Elided(option);
}

QString ElidingComboBox::Elided(const QStyleOptionComboBox& option) const {
    if (option.editable)
        return option.currentText;
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    // The style draws the label one pixel in from each side of the field,
    // after the icon if there is one.
    int width = field.width() - 2;
    if (!option.currentIcon.isNull())
        width -= option.iconSize.width() + 4;
    return fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, qMax(0, width));
}

void ElidingComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    if (currentIndex() < 0 && !placeholderText().isEmpty()) {
        option.palette.setBrush(QPalette::ButtonText, option.palette.placeholderText());
        option.currentText = placeholderText();
    }
    option.currentText = Elided(option);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}
