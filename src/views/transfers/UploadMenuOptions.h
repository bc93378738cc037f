#ifndef TAVENOOK_VIEWS_TRANSFERS_UPLOADMENUOPTIONS_H
#define TAVENOOK_VIEWS_TRANSFERS_UPLOADMENUOPTIONS_H

#include <QObject>

#include "store/Data.h"

class QMenu;

// Fills a context menu with the actions on chosen upload entries and carries
// them out. Lives on the caller's stack while the menu is shown.
class UploadMenuOptions : public QObject {
    Q_OBJECT
public:
    UploadMenuOptions(QMenu* menu, const ItemSet& entries, QObject* parent = nullptr);

public slots:
    void OnOpenFile();
    void OnOpenFolder();
    void OnRemoveUploads();

private:
    ItemSet m_entries;
};

#endif
