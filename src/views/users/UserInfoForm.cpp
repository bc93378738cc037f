#include "views/users/UserInfoForm.h"

#include <QBuffer>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "net/PeerMessenger.h"
#include "shell/EventToolBar.h"
#include "store/Log.h"

UserInfoForm::UserInfoForm(QWidget* parent)
    : QWidget(parent),
      mp_uploadSlots(new QLineEdit(this)),
      mp_freeToUpload(new QLineEdit(this)),
      mp_queuedUploads(new QLineEdit(this)),
      mp_text(new QTextBrowser(this)) {
    resize(620, 412);
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    const std::pair<const char*, QLineEdit*> fields[] = {{"Upload slots", mp_uploadSlots},
                                                         {"Free to upload?", mp_freeToUpload},
                                                         {"Queued uploads", mp_queuedUploads}};
    const char* names[] = {"uploadSlotsEdit", "freeToUploadEdit", "queuedUploadsEdit"};
    int i = 0;
    for (const auto& [label, edit] : fields) {
        if (i > 0) {
            auto* gap = new QLabel(this);
            gap->setMinimumWidth(30);
            row->addWidget(gap);
        }
        row->addWidget(new QLabel(label, this));
        edit->setObjectName(names[i++]);
        edit->setReadOnly(true);
        edit->setMaximumWidth(50);
        row->addWidget(edit);
    }
    row->addStretch();
    layout->addLayout(row);
    mp_text->setObjectName("userInfoText");
    // A peer's links are shown, never followed by the page itself.
    mp_text->setOpenLinks(false);
    mp_text->setOpenExternalLinks(false);
    layout->addWidget(mp_text);
    if (peerMessenger) {
        connect(peerMessenger, &PeerMessenger::UserInfoReceived, this,
                &UserInfoForm::OnUserInfoReceived);
    }
}

void UserInfoForm::Init(QString user) {
    m_user = user;
    if (peerMessenger)
        peerMessenger->GetUserInfo(user);
    m_requesting = true;
    mp_text->setHtml("Requesting...");
    if (peerMessenger) {
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this,
                &UserInfoForm::OnConnectionToUserFailed);
    }
}

void UserInfoForm::OnUserInfoReceived(QString user, QString description, bool hasPicture,
                                      char* pictureBuffer, int pictureBufferLength, int uploadSlots,
                                      int queuedUploads, bool freeUploadSlots) {
    if (user != m_user)
        return;
    m_requesting = false;
    mp_uploadSlots->setText(QString::number(uploadSlots));
    mp_queuedUploads->setText(QString::number(queuedUploads));
    mp_freeToUpload->setText(freeUploadSlots ? "Yes" : "No");
    QString html;
    if (hasPicture && pictureBuffer && pictureBufferLength > 0) {
        QByteArray bytes = QByteArray::fromRawData(pictureBuffer, pictureBufferLength);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        const QSize size = reader.size();
        QImage image;
        if (size.width() > kMaxPictureSide || size.height() > kMaxPictureSide) {
            Log("users", 1,
                QString("Picture of %1 refused: %2 x %3.")
                    .arg(user)
                    .arg(size.width())
                    .arg(size.height()));
        } else if (size.isValid()) {
            image = reader.read();
        }
        if (!image.isNull()) {
            if (image.width() > 800 || image.height() > 400)
                image = image.scaled(800, 400, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            mp_text->document()->addResource(QTextDocument::ImageResource, QUrl("UserImage"),
                                             image);
            html = "<img src=\"UserImage\" /><p>";
        }
    }
    // The description is the peer's text, never markup of theirs.
    if (!description.isEmpty() || hasPicture)
        html += description.toHtmlEscaped().replace("\n", "<br>");
    else
        html += "No user info.";
    mp_text->setHtml(html);
    mp_text->moveCursor(QTextCursor::Start);
    if (eventToolBar)
        eventToolBar->AddEvent(m_user, ":/icons/info_icon", this, QString(), "user_info", false);
}

void UserInfoForm::OnConnectionToUserFailed(QString user, QString connectionType) {
    if (!m_requesting || user != m_user || connectionType != "P")
        return;
    m_requesting = false;
    mp_text->setPlainText("A connection could not be successfully formed to the user.");
    if (eventToolBar)
        eventToolBar->AddEvent(m_user, ":/icons/info_icon", this, QString(), QString(), false);
}

void UserInfoForm::showEvent(QShowEvent* event) {
    if (eventToolBar)
        eventToolBar->RemoveEvents(this);
    QWidget::showEvent(event);
}
