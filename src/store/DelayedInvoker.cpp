#include "store/DelayedInvoker.h"

#include <QMetaObject>
#include <QTimerEvent>
#include <QtDebug>

#include "store/Log.h"

DelayedInvoker* delayedInvoker = nullptr;

namespace {

const QString kLogArea = QStringLiteral("Delayed Invoker");

// "Sort()", " Sort ( ) " and "Sort" all give "Sort"; anything with arguments
// or not an identifier gives an empty name.
QByteArray NormaliseSlotName(const QString& slot) {
    QString name = slot.trimmed();
    const int open = name.indexOf(QLatin1Char('('));
    if (open >= 0) {
        const QString rest = name.mid(open + 1).trimmed();
        if (rest != QLatin1String(")"))
            return QByteArray();
        name = name.left(open).trimmed();
    }
    if (name.isEmpty())
        return QByteArray();
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        const bool ok = c == QLatin1Char('_') || (c.unicode() < 128 && c.isLetter()) ||
                        (i > 0 && c.unicode() < 128 && c.isDigit());
        if (!ok)
            return QByteArray();
    }
    return name.toLatin1();
}

void Refuse(const QString& text) {
    qWarning().noquote() << "DelayedInvoker:" << text;
    Log(kLogArea, 1, text);
}

}  // namespace

DelayedInvoker::DelayedInvoker(QObject* parent) : QObject(parent) {
    delayedInvoker = this;
}

DelayedInvoker::~DelayedInvoker() {
    // The timers die with this object; only the globals need care.
    if (delayedInvoker == this)
        delayedInvoker = nullptr;
}

void DelayedInvoker::Invoke(QObject* object, QString slot, int ms) {
    if (!object) {
        Refuse(QStringLiteral("call of %1 on a null object dropped").arg(slot));
        return;
    }
    const QByteArray method = NormaliseSlotName(slot);
    const QMetaObject* meta = object->metaObject();
    if (method.isEmpty() || meta->indexOfMethod(method + "()") < 0) {
        Refuse(QStringLiteral("%1 has no slot %2; call dropped")
                   .arg(QString::fromLatin1(meta->className()), slot));
        return;
    }
    if (FindPending(object, method) >= 0)
        return;

    const int id = startTimer(ms > 0 ? ms : 0);
    if (id == 0) {
        Refuse(QStringLiteral("no timer for %1 on %2; call dropped")
                   .arg(slot, QString::fromLatin1(meta->className())));
        return;
    }
    connect(object, &QObject::destroyed, this, &DelayedInvoker::OnTargetDestroyed,
            Qt::UniqueConnection);
    m_pending.insert(id, Pending{QPointer<QObject>(object), object, method});
}

void DelayedInvoker::timerEvent(QTimerEvent* event) {
    const int id = event->timerId();
    killTimer(id);
    const auto it = m_pending.find(id);
    if (it == m_pending.end())
        return;
    const Pending call = it.value();
    // Taken off before the call, so that a request made by the slot itself
    // starts a new delay.
    m_pending.erase(it);
    QObject* target = call.target.data();
    if (!target)
        return;
    if (!HasPendingFor(target)) {
        disconnect(target, &QObject::destroyed, this, &DelayedInvoker::OnTargetDestroyed);
    }
    if (!QMetaObject::invokeMethod(target, call.method.constData())) {
        Refuse(QStringLiteral("call of %1 on %2 failed")
                   .arg(QString::fromLatin1(call.method),
                        QString::fromLatin1(target->metaObject()->className())));
    }
}

int DelayedInvoker::FindPending(const QObject* object, const QByteArray& method) const {
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (it->address == object && it->method == method && !it->target.isNull())
            return it.key();
    }
    return -1;
}

bool DelayedInvoker::HasPendingFor(const QObject* object) const {
    for (const Pending& call : m_pending) {
        if (call.address == object)
            return true;
    }
    return false;
}

void DelayedInvoker::OnTargetDestroyed(QObject* object) {
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->address == object) {
            killTimer(it.key());
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
}
