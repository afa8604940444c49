#include "VlContentCacheCorrector.h"

#include "VlContentCache.h"

#include <QCoreApplication>
#include <QMutexLocker>

namespace Vela {

// Counts the passes under way. A pass processes events, so the cache may be deleted, and the
// corrector scheduled for deletion, by a slot that runs inside it (a host that calls quit()
// from a timer); the corrector then stays until the outermost pass has returned.
class VlContentCacheCorrector::PassScope
{
public:
    explicit PassScope(VlContentCacheCorrector &corrector)
        : corrector(corrector)
    {
        ++corrector.passDepth;
    }
    ~PassScope()
    {
        if (--corrector.passDepth == 0 && corrector.deleteAfterPass) {
            corrector.deleteAfterPass = false;
            corrector.deleteLater();
        }
    }
    PassScope(const PassScope &) = delete;
    PassScope &operator=(const PassScope &) = delete;

private:
    VlContentCacheCorrector &corrector;
};

VlContentCacheCorrector::VlContentCacheCorrector(QObject *parent)
    : QObject(parent)
    , timer(this)
{
    timer.setInterval(interval);
    timer.setSingleShot(false);
    connect(&timer, &QTimer::timeout, this, &VlContentCacheCorrector::correct);
}

VlContentCacheCorrector::~VlContentCacheCorrector()
{
    setEnabled(false);
    timer.stop();
}

quint64 VlContentCacheCorrector::getMaximumCacheSize() const
{
    QMutexLocker locker(&maximumCacheSizeLock);
    return maximumCacheSize;
}

void VlContentCacheCorrector::setMaximumCacheSize(quint64 bytes)
{
    QMutexLocker locker(&maximumCacheSizeLock);
    maximumCacheSize = bytes;
}

int VlContentCacheCorrector::getMaximumImageCount() const
{
    QMutexLocker locker(&maximumImageCountLock);
    return maximumImageCount;
}

void VlContentCacheCorrector::setMaximumImageCount(int count)
{
    QMutexLocker locker(&maximumImageCountLock);
    maximumImageCount = count;
}

int VlContentCacheCorrector::getMinimumImageCount() const
{
    QMutexLocker locker(&minimumImageCountLock);
    return minimumImageCount;
}

void VlContentCacheCorrector::setMinimumImageCount(int count)
{
    if (count <= 0)
        return;
    QMutexLocker locker(&minimumImageCountLock);
    minimumImageCount = count;
}

bool VlContentCacheCorrector::event(QEvent *event)
{
    if (event->type() == QEvent::DeferredDelete && passDepth > 0) {
        deleteAfterPass = true;
        return true;
    }
    return QObject::event(event);
}

bool VlContentCacheCorrector::isEnabled() const
{
    QMutexLocker locker(&enabledLock);
    return enabled;
}

void VlContentCacheCorrector::start()
{
    stopped = false;
    setEnabled(true);
    timer.start();
}

void VlContentCacheCorrector::startUnlessStopped()
{
    if (!stopped)
        start();
}

void VlContentCacheCorrector::stop()
{
    stopped = true;
    setEnabled(false);
    timer.stop();
}

void VlContentCacheCorrector::setEnabled(bool enabled)
{
    QMutexLocker locker(&enabledLock);
    this->enabled = enabled;
}

int VlContentCacheCorrector::imageCount()
{
    // Stays 0 when no cache is connected any more, which ends every loop below.
    int count = 0;
    emit s_getImageCount(&count);
    return count;
}

void VlContentCacheCorrector::correct()
{
    if (!isEnabled())
        return;
    PassScope scope(*this);
    timer.stop();

    QStringList uris;
    emit s_getUriList(&uris);
    for (const QString &uri : qAsConst(uris)) {
        const QString digest = VlContentCache::fileDigest(uri, true);
        emit s_removeUriIfNotMatchHash(uri, digest);
        QCoreApplication::processEvents();
        if (!isEnabled())
            break;
    }

    // One sweep, without event processing: the time stays linear in the cache's size and no
    // notification of an eviction is handled nested inside another, however many images go.
    const int maximum = getMaximumImageCount();
    if (isEnabled() && maximum >= 1 && imageCount() > maximum)
        emit s_removeOldestImages(maximum, 0);

    if (isEnabled())
        timer.start();
}

void VlContentCacheCorrector::onCacheTotalBytesChanged(qulonglong bytes)
{
    // A total equal to the limit already counts as over it.
    const quint64 limit = getMaximumCacheSize();
    if (limit == 0 || bytes < limit)
        return;
    if (getMaximumCacheSize() == 0)
        return;
    if (imageCount() <= getMinimumImageCount())
        return;

    // The whole excess goes in one sweep, whose single notification then finds the total
    // below the limit.
    emit s_removeOldestImages(getMinimumImageCount(), limit);
}

} // namespace Vela
