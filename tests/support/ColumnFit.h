#ifndef TAVENOOK_TESTS_SUPPORT_COLUMNFIT_H
#define TAVENOOK_TESTS_SUPPORT_COLUMNFIT_H

#include <QAbstractItemView>
#include <QApplication>
#include <QFont>
#include <QHeaderView>
#include <QTest>

#include "shell/ColumnWidths.h"

// The application font scaled for a scope: widgets made inside it take it.
class ScaledAppFont {
public:
    explicit ScaledAppFont(qreal scale) : m_font(QApplication::font()) {
        QFont font = m_font;
        font.setPointSizeF(m_font.pointSizeF() * scale);
        QApplication::setFont(font);
    }
    ~ScaledAppFont() { QApplication::setFont(m_font); }
    ScaledAppFont(const ScaledAppFont&) = delete;
    ScaledAppFont& operator=(const ScaledAppFont&) = delete;

private:
    QFont m_font;
};

// The rows of a width table: a list chosen by the flag, in the default font
// and in one twice as large.
inline void AddColumnFitRows(const char* flag, const char* whenFalse, const char* whenTrue) {
    QTest::addColumn<bool>(flag);
    QTest::addColumn<qreal>("fontScale");
    for (const qreal scale : {1.0, 2.0})
        for (const bool on : {false, true})
            QTest::newRow(
                qPrintable(QString(on ? whenTrue : whenFalse) + (scale > 1 ? ", large font" : "")))
                << on << scale;
}

// Empty when the column shows its header text and the texts of its rows in
// full, by the view's own size hints for them; otherwise what is cut.
inline QString CutInColumn(const QAbstractItemView* list, int column) {
    const QHeaderView* columns = ColumnHeader(list);
    const int width = columns->sectionSize(column);
    // Public in the base class, protected in the tree and table views.
    const int cells = list->sizeHintForColumn(column);
    const int header = columns->sectionSizeHint(column);
    if (cells <= width && header <= width)
        return QString();
    return QString("column %1 \"%2\" is %3 px; its cells need %4, its header %5")
        .arg(column)
        .arg(list->model()->headerData(column, Qt::Horizontal).toString())
        .arg(width)
        .arg(cells)
        .arg(header);
}

#endif
