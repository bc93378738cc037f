#include "views/chat/TranscriptView.h"

#include <QMimeData>
#include <QTextDocumentFragment>

#include "views/chat/ChatTranscript.h"

QMimeData* TranscriptView::createMimeDataFromSelection() const {
    const QTextDocumentFragment selection = textCursor().selection();
    auto* data = new QMimeData;
    data->setHtml(chat::Unbroken(selection.toHtml("utf-8")));
    data->setText(chat::Unbroken(selection.toPlainText()));
    return data;
}
