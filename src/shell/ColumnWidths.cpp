#include "shell/ColumnWidths.h"

#include <QHeaderView>
#include <QStyle>
#include <QTableView>
#include <QTreeView>
#include <QtMath>

#include "store/GeneralFunctions.h"

QString LargestSizeText() {
    return CommafyNumber(999LL << 30);
}

QString LargestCountText() {
    return CommafyNumber(9999999);
}

QString LargestSpeedText() {
    return QString::number(9999999.9, 'f', 1);
}

QHeaderView* ColumnHeader(const QAbstractItemView* list) {
    if (auto* tree = qobject_cast<const QTreeView*>(list))
        return tree->header();
    if (auto* table = qobject_cast<const QTableView*>(list))
        return table->horizontalHeader();
    return nullptr;
}

int FittingColumnWidth(const QAbstractItemView* list, int column, int least,
                       const QStringList& texts) {
    const QFontMetricsF metrics(list->font());
    QChar widestDigit('0');
    for (char c = '1'; c <= '9'; ++c)
        if (metrics.horizontalAdvance(QChar(c)) > metrics.horizontalAdvance(widestDigit))
            widestDigit = QChar(c);
    // A cell keeps this margin on each side of its text; a narrower cell elides.
    const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
    const QHeaderView* header = ColumnHeader(list);
    int width = qMax(least, header ? header->sectionSizeHint(column) : 0);
    for (QString text : texts) {
        for (QChar& c : text)
            if (c.isDigit())
                c = widestDigit;
        width = qMax(width, qCeil(metrics.horizontalAdvance(text)) + 2 * margin);
    }
    return width;
}
