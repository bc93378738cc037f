#ifndef TAVENOOK_SHELL_COLUMNWIDTHS_H
#define TAVENOOK_SHELL_COLUMNWIDTHS_H

#include <QStringList>

class QAbstractItemView;
class QHeaderView;

// Texts of the largest values that list columns show: a file size of 999 GiB
// as CommafyNumber writes it, and a speed of 9,999,999.9 KB/s with one
// decimal (a gigabit local network alone gives some 117,000 KB/s).
QString LargestSizeText();
// A count, as of a user's shared files: 9,999,999.
QString LargestCountText();
QString LargestSpeedText();

// The width a list column needs so that its header text and each of the
// texts read in full in the list's font, and never less than `least`. Each
// digit of the texts is measured as the font's widest digit, so any value of
// as many digits fits.
int FittingColumnWidth(const QAbstractItemView* list, int column, int least,
                       const QStringList& texts = QStringList());

// The header over a list's columns: a tree's or a table's; null for others.
QHeaderView* ColumnHeader(const QAbstractItemView* list);

#endif
