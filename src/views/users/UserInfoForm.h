#ifndef TAVENOOK_VIEWS_USERS_USERINFOFORM_H
#define TAVENOOK_VIEWS_USERS_USERINFOFORM_H

#include <QWidget>

class QLineEdit;
class QTextBrowser;

// One other user's information page: asks once, shows whatever reply comes.
class UserInfoForm : public QWidget {
    Q_OBJECT
public:
    explicit UserInfoForm(QWidget* parent = nullptr);
    void Init(QString user);
    QString User() const { return m_user; }
    bool IsRequesting() const { return m_requesting; }
    QTextBrowser* Text() const { return mp_text; }

    // Larger pictures are refused unread: decoding them could take gigabytes.
    static constexpr int kMaxPictureSide = 4096;

public slots:
    void OnUserInfoReceived(QString user, QString description, bool hasPicture, char* pictureBuffer,
                            int pictureBufferLength, int uploadSlots, int queuedUploads,
                            bool freeUploadSlots);
    void OnConnectionToUserFailed(QString user, QString connectionType);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString m_user;
    bool m_requesting = false;
    QLineEdit* mp_uploadSlots;
    QLineEdit* mp_freeToUpload;
    QLineEdit* mp_queuedUploads;
    QTextBrowser* mp_text;
};

#endif
