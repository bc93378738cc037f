#ifndef TAVENOOK_VIEWS_CHAT_TRANSCRIPTVIEW_H
#define TAVENOOK_VIEWS_CHAT_TRANSCRIPTVIEW_H

#include <QTextBrowser>

// A view of chat text shown through chat::RichText or chat::Wrappable. What
// leaves it, copied, dragged or put in the selection clipboard, is the text
// as received: without the zero-width spaces that only make long words wrap.
class TranscriptView : public QTextBrowser {
    Q_OBJECT
public:
    explicit TranscriptView(QWidget* parent = nullptr) : QTextBrowser(parent) {}

protected:
    QMimeData* createMimeDataFromSelection() const override;
};

#endif
