#ifndef TAVENOOK_VIEWS_SHARES_NEWVERSIONDIALOG_H
#define TAVENOOK_VIEWS_SHARES_NEWVERSIONDIALOG_H

#include <QDialog>
#include <QString>
#include <QStringList>
#include <memory>

namespace Ui {
class NewVersionDialog;
}

// Announces a newer release: download it or skip it until a newer one.
class NewVersionDialog : public QDialog {
    Q_OBJECT
public:
    NewVersionDialog(qint64 newest, QString url, QStringList description, QWidget* parent);
    ~NewVersionDialog() override;
    Ui::NewVersionDialog* Form() const { return mp_ui.get(); }
    // "Build M/D/YYYY" of a build number written as yyyymmdd.
    static QString BuildLabel(qint64 build);

public slots:
    void OnDownloadButtonClicked();
    void OnSkipButtonClicked();

private:
    std::unique_ptr<Ui::NewVersionDialog> mp_ui;
    qint64 m_newest;
    QString m_url;
};

#endif
