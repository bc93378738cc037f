#ifndef TAVENOOK_VIEWS_SHARES_SHARESFORM_H
#define TAVENOOK_VIEWS_SHARES_SHARESFORM_H

#include <QWidget>

#include "net/PeerPayloads.h"
#include "store/Data.h"
#include "views/shares/ShareForm.h"
#include "views/shares/UploadForm.h"

class QTabWidget;

// The page of share tabs: one browse tab per user whose share is being
// looked at, one upload tab per user the own files are offered to. Received
// lists become share graphs in the store; the tabs show those graphs.
class SharesForm : public QWidget, public DataHandler {
    Q_OBJECT
public:
    explicit SharesForm(QWidget* parent = nullptr);
    ~SharesForm() override;
    // Declares the tab and row link types; needs the share graph's types.
    void Init();
    QTabWidget* Tabs() const { return mp_tabs; }

    // The user's browse tab, opened (and the share list requested) when
    // there is none; focused either way.
    ShareForm* OpenShareBrowse(const QString& user);
    // The same, but the list is asked for also when the tab is open already,
    // so that it shows what the user shares now.
    ShareForm* BrowseUser(const QString& user);
    // The user's upload tab, built from the own share as the user may see it.
    UploadForm* OpenUploadBrowse(const QString& user);
    // The open browse tab of the user, or null.
    static ShareForm* GetShareBrowse(const QString& user);
    static UploadForm* GetUploadBrowse(const QString& user);

    // A new "user_share" with the graph of the list; the table is not used.
    static ItemPtr CreateUserShareData(const FileInfoMap& share,
                                       const AttributeTranslationTable& table);

public slots:
    // A received share list: shown in the user's open tab, else dropped.
    void OnUserShare(QString user, FileInfoMap& share, AttributeTranslationTable& table);
    void OnTabCloseRequested(int index);
    void OnToolBarActionTriggered(QWidget*, QString) {}

private:
    QTabWidget* mp_tabs;
};

extern SharesForm* sharesForm;

#endif
