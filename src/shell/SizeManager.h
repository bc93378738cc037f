#ifndef TAVENOOK_SHELL_SIZEMANAGER_H
#define TAVENOOK_SHELL_SIZEMANAGER_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QSplitter;
class QAbstractItemView;
class ResizableWindow;

// Remembers window geometry, list column widths and splitter pane sizes by
// name in saved store records, and copies a change at once to every live
// widget registered under the same name.
class SizeManager : public QObject {
    Q_OBJECT

public:
    explicit SizeManager(QObject* parent = nullptr);
    ~SizeManager() override;

    void RegisterResizableWindow(const QString& name, ResizableWindow* window);
    // A tree's or a table's columns.
    void RegisterTreeWidget(const QString& name, QAbstractItemView* tree);
    // `sizes` is recorded when the name has no record yet; empty means the
    // splitter's present sizes.
    void RegisterSplitter(const QString& name, QSplitter* splitter,
                          const QList<int>& sizes = QList<int>());
    void ForgetTreeWidget(const QString& name);

public slots:
    void OnWindowMoved(int x, int y);
    void OnWindowResized(int width, int height);
    void OnSplitterMoved(int position, int index);
    void OnSplitterDestroyed(QObject* splitter);
    void OnTreeColumnResizedMoved(int index, int newSize, int oldSize);
    void OnTreeDestroyed(QObject* tree);

private:
    void StoreWindowPair(const char* firstType, const char* secondType, int first, int second);

    template <class W>
    QList<W*> Siblings(const char* widgetType, const char* recordType, QObject* self);

    bool m_propagating = false;
    // The live registered lists and splitters by store key.
    QHash<QByteArray, QPointer<QObject>> m_widgets;
};

extern SizeManager* sizeManager;

#endif
