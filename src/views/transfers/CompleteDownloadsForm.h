#ifndef TAVENOOK_VIEWS_TRANSFERS_COMPLETEDOWNLOADSFORM_H
#define TAVENOOK_VIEWS_TRANSFERS_COMPLETEDOWNLOADSFORM_H

#include <QTreeWidgetItem>
#include <QWidget>

#include "store/Data.h"

class Ui_CompleteDownloadsForm;

// A row of the finished downloads: ordered by completion time, whatever the
// sort column.
class CompleteDownloadItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    ~CompleteDownloadItem() override;
    bool operator<(const QTreeWidgetItem& other) const override;
};

// The list of the engine's "complete_download" records, newest first.
class CompleteDownloadsForm : public QWidget, public DataLoadedEventHandler {
    Q_OBJECT
public:
    explicit CompleteDownloadsForm(QWidget* parent = nullptr);
    ~CompleteDownloadsForm() override;
    void Init();
    void DataLoaded() override;
    Ui_CompleteDownloadsForm* Ui() const { return mp_ui; }

public slots:
    void OnCompleteDownloadAdded(ItemPtr i_download);

private:
    Ui_CompleteDownloadsForm* mp_ui;
    bool m_registered = false;
};

extern CompleteDownloadsForm* completeDownloadsForm;

#endif
