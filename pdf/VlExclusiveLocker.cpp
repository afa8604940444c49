#include "VlExclusiveLocker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMutexLocker>
#include <QThread>

namespace Vela {

VlExclusiveLocker::Locker::Locker(const QString &key)
    : m_key(key)
{
    VlExclusiveLocker::instance()->_lock(m_key);
}

VlExclusiveLocker::Locker::~Locker()
{
    VlExclusiveLocker::instance()->_unlock(m_key);
}

QString VlExclusiveLocker::Locker::key() const
{
    return m_key;
}

VlExclusiveLocker::VlExclusiveLocker(QObject *parent)
    : QObject(parent)
{ }

VlExclusiveLocker *VlExclusiveLocker::instance()
{
    // Never destroyed: keys may be released by code that runs during shutdown.
    static VlExclusiveLocker *const locker = new VlExclusiveLocker();
    return locker;
}

bool VlExclusiveLocker::lock(const QString &key)
{
    return instance()->_lock(key);
}

void VlExclusiveLocker::unlock(const QString &key)
{
    instance()->_unlock(key);
}

void VlExclusiveLocker::waitUntilLock(const QString &key)
{
    instance()->_waitUntilLock(key);
}

bool VlExclusiveLocker::_lock(const QString &key)
{
    QMutexLocker locker(&m_mutex);
    if (m_keys.contains(key))
        return false;
    m_keys.append(key);
    return true;
}

void VlExclusiveLocker::_unlock(const QString &key)
{
    {
        QMutexLocker locker(&m_mutex);
        m_keys.removeAll(key);
    }
    // Written after the registry is released: a message handler is the application's code,
    // and one that waits for another thread would otherwise stall every user of the keys.
    qDebug("unlocked.");
}

void VlExclusiveLocker::_waitUntilLock(const QString &key)
{
    for (bool first = true;; first = false) {
        if (_lock(key)) {
            if (!first)
                qDebug("_waitUntilLock...unlocked");
            return;
        }
        qDebug("_waitUntilLock....");
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        // The holder may keep the key for a whole render; polling flat out would only burn
        // a core that the holder could use.
        QThread::msleep(1);
        qDebug("_waitUntilLock....sleep out.");
    }
}

} // namespace Vela
