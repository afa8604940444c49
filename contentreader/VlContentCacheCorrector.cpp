#include "VlContentCacheCorrector.h"

#include "VlContentCache.h"

#include <QCoreApplication>
#include <QMutexLocker>

namespace Vela {

namespace {

// Counts the passes under way, so that the cache knows when it may not delete the corrector
// directly (a pass that processes events may be running further up the stack).
class PassScope
{
public:
    explicit PassScope(int &depth)
        : depth(depth)
    {
        ++depth;
    }
    ~PassScope() { --depth; }
    PassScope(const PassScope &) = delete;
    PassScope &operator=(const PassScope &) = delete;

private:
    int &depth;
};

} // namespace

VlContentCacheCorrector::VlContentCacheCorrector(QObject *parent)
    : QObject(parent)
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

bool VlContentCacheCorrector::isEnabled() const
{
    QMutexLocker locker(&enabledLock);
    return enabled;
}

void VlContentCacheCorrector::start()
{
    setEnabled(true);
    timer.start();
}

void VlContentCacheCorrector::stop()
{
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

void VlContentCacheCorrector::removeOldest()
{
    QDateTime usedTime;
    QString uri;
    int pageIndex = 0;
    QSize requestedSize;
    bool valid = false;
    emit s_getOldestTime(&usedTime, &uri, &pageIndex, &requestedSize, &valid);
    if (valid)
        emit s_removeImage(uri, pageIndex, requestedSize);
}

void VlContentCacheCorrector::correct()
{
    if (!isEnabled())
        return;
    PassScope scope(passDepth);
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

    if (isEnabled() && getMaximumImageCount() >= 1) {
        int count = imageCount();
        // The limit is read anew each round; switching it off ends the loop rather than
        // letting a count above 0 evict everything.
        for (int maximum = getMaximumImageCount(); maximum >= 1 && count > maximum;
             maximum = getMaximumImageCount()) {
            removeOldest();
            QCoreApplication::processEvents();
            if (!isEnabled())
                break;
            count = imageCount();
        }
    }

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

    PassScope scope(passDepth);
    for (;;) {
        unsigned long long total = 0;
        emit s_getTotalBytes(&total);
        const quint64 maximum = getMaximumCacheSize();
        // A limit switched off meanwhile ends the loop instead of evicting to the minimum.
        if (maximum == 0 || total < maximum)
            break;
        if (imageCount() <= getMinimumImageCount())
            break;
        removeOldest();
        QCoreApplication::processEvents();
        if (!isEnabled())
            break;
    }
}

} // namespace Vela
