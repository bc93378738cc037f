#ifndef TAVENOOK_VIEWS_SHARES_DIAGNOSTICSFORM_H
#define TAVENOOK_VIEWS_SHARES_DIAGNOSTICSFORM_H

#include <QStringList>
#include <QWidget>

#include "store/Log.h"

class QPlainTextEdit;

// The diagnostics page: the program's log lines, newest last. The item log
// viewers and per-area files come with the diagnostics issue.
class DiagnosticsForm : public QWidget, public LogSink {
    Q_OBJECT
public:
    // Older lines are dropped beyond this, so a chatty run stays bounded.
    static constexpr int kMaxLines = 5000;

    explicit DiagnosticsForm(QWidget* parent = nullptr);
    ~DiagnosticsForm() override;
    // Becomes the program's log sink.
    void Init();
    void RegisterLoggableItemType(const QString& type);
    void Log(const QString& area, int level, const QString& text, const ItemPtr& item) override;
    QStringList Lines() const;

private:
    QPlainTextEdit* mp_text;
    QStringList m_loggableTypes;
};

extern DiagnosticsForm* diagnosticsForm;

#endif
