#ifndef TAVENOOK_VIEWS_SHARES_SHARESFORM_H
#define TAVENOOK_VIEWS_SHARES_SHARESFORM_H

#include <QHash>
#include <QPointer>
#include <QWidget>

#include "net/PeerPayloads.h"
#include "views/shares/ShareForm.h"

class QTabWidget;
class QTreeWidget;

// The page of share tabs: one browse tab per user whose share is being
// looked at, one upload tab per user the own files are offered to.
class SharesForm : public QWidget {
    Q_OBJECT
public:
    explicit SharesForm(QWidget* parent = nullptr);
    ~SharesForm() override;
    void Init();
    QTabWidget* Tabs() const { return mp_tabs; }

    // The user's browse tab, opened (and the share list requested) when
    // there is none; focused either way. The main window's "browse_user"
    // action calls this.
    ShareForm* OpenShareBrowse(const QString& user);
    // The user's upload tab, built from the own share as the user may see it.
    UploadForm* OpenUploadBrowse(const QString& user);
    ShareForm* GetShareBrowse(const QString& user) const { return m_browse.value(user); }

public slots:
    // A received share list: shown in the user's open tab, else dropped.
    void OnUserShare(QString user, FileInfoMap& share, AttributeTranslationTable& table);
    void OnTabCloseRequested(int index);

private:
    QTabWidget* mp_tabs;
    QHash<QString, QPointer<ShareForm>> m_browse;
    QHash<QString, QPointer<ShareForm>> m_upload;
};

extern SharesForm* sharesForm;

#endif
