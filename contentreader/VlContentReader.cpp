#include "VlContentReader.h"

#include "VlContentCache.h"
#include "VlContentReader_Ctrl.h"

#include <QMutexLocker>

#include <atomic>

namespace Vela {

namespace {

// Set once by quit(). The global pointer is never reset, so from then on the static calls
// must not reach the reader or the cache, which are deleted soon after.
std::atomic<bool> quitCalled {false};
// Set when the reader is deleted: globalInstance() then answers null, not a dangling pointer.
std::atomic<bool> readerDeleted {false};
std::atomic<int> idleTimeout {60000};
std::atomic<bool> drawAtRequested {false};

VlContentCache *liveCache()
{
    return quitCalled.load() ? nullptr : VlContentCache::instance();
}

} // namespace

VlContentReader::VlContentReader(QObject *parent)
    : QObject(parent)
{ }

VlContentReader::~VlContentReader()
{
    readerDeleted.store(true);
}

VlContentReader *VlContentReader::globalInstance()
{
    static VlContentReader *const instance = [] {
        auto *created = new VlContentReader(nullptr);
        created->moveToThread(VlContentCache::homeThread());
        return created;
    }();
    // Between quit() and the deletion it scheduled the reader still exists, and a host may
    // want it, for example to wait for its destroyed() signal.
    return readerDeleted.load() ? nullptr : instance;
}

void VlContentReader::setIdleThreadTimeout(int msec)
{
    idleTimeout.store(msec);
}

int VlContentReader::idleThreadTimeout()
{
    return idleTimeout.load();
}

void VlContentReader::setDrawAtRequestedSize(bool on)
{
    drawAtRequested.store(on);
}

bool VlContentReader::drawAtRequestedSize()
{
    return drawAtRequested.load();
}

void VlContentReader::read(const QString &uri, int pageIndex, const QSize &requestedSize)
{
    // After quit() the reader may be on its way out in another thread: do not touch it.
    if (quitCalled.load())
        return;
    if (VlContentReader *reader = globalInstance())
        reader->p_read(uri, pageIndex, requestedSize);
}

std::shared_ptr<QImage> VlContentReader::getImage(const QString &uri, int pageIndex)
{
    VlContentCache *cache = liveCache();
    return cache ? cache->getImage(uri, pageIndex) : nullptr;
}

std::shared_ptr<QImage> VlContentReader::getImageLarge(
    const QString &uri, int pageIndex, const QSize &size)
{
    VlContentCache *cache = liveCache();
    return cache ? cache->getImageLarge(uri, pageIndex, size) : nullptr;
}

std::shared_ptr<QImage> VlContentReader::getImageExactSize(
    const QString &uri, int pageIndex, const QSize &size)
{
    return getImageLarge(uri, pageIndex, size);
}

int VlContentReader::getContentPageCount(const QString &uri)
{
    VlContentCache *cache = liveCache();
    return cache ? cache->getContentPageCount(uri) : 0;
}

void VlContentReader::clearAllCache()
{
    if (VlContentCache *cache = liveCache())
        cache->clearAll();
}

quint64 VlContentReader::getCachedSize()
{
    VlContentCache *cache = liveCache();
    return cache ? cache->getCachedSize() : 0;
}

quint64 VlContentReader::getMaximumCacheSize()
{
    VlContentCache *cache = liveCache();
    return cache ? cache->getMaximumCacheSize() : 0;
}

void VlContentReader::setMaximumCacheSize(quint64 bytes)
{
    if (VlContentCache *cache = liveCache())
        cache->setMaximumCacheSize(bytes);
}

int VlContentReader::getMaximumImageCount()
{
    VlContentCache *cache = liveCache();
    return cache ? cache->getMaximumImageCount() : 0;
}

void VlContentReader::setMaximumImageCount(int count)
{
    if (VlContentCache *cache = liveCache())
        cache->setMaximumImageCount(count);
}

int VlContentReader::getMinimumImageCount()
{
    VlContentCache *cache = liveCache();
    return cache ? cache->getMinimumImageCount() : 0;
}

void VlContentReader::setMinimumImageCount(int count)
{
    if (VlContentCache *cache = liveCache())
        cache->setMinimumImageCount(count);
}

void VlContentReader::quit()
{
    if (VlContentReader *reader = globalInstance())
        reader->p_quit();
}

void VlContentReader::p_read(const QString &uri, int pageIndex, const QSize &requestedSize)
{
    QMutexLocker readLocker(&readLock);
    QMutexLocker mapLocker(&mapLock);
    if (quitting())
        return;

    VlContentReader_Ctrl *controller = controllers.value(uri);
    if (!controller) {
        controller = new VlContentReader_Ctrl(uri, nullptr);
        // The calling thread may end before the answers come; the reader's home will not.
        controller->moveToThread(thread());
        connect(controller, &VlContentReader_Ctrl::readyContent, this,
            &VlContentReader::on_readyContent);
        connect(controller, &VlContentReader_Ctrl::failedToRead, this,
            &VlContentReader::on_failedToRead);
        connect(controller, &VlContentReader_Ctrl::gotContentPageCount, this,
            &VlContentReader::on_gotContentPageCount);
        // Queued, so that the controller is never deleted from inside its own call.
        connect(controller, &VlContentReader_Ctrl::idleTimedOut, this,
            &VlContentReader::on_allFinished, Qt::QueuedConnection);
        controllers.insert(uri, controller);
    }
    controller->read(pageIndex, requestedSize);
}

void VlContentReader::p_quit()
{
    // Under the map lock, a read of a new uri in another thread either adds its controller
    // before the snapshot below or sees the flag and adds none: no worker can outlive the
    // cache. Lock order as in p_read: map, then quit.
    QMutexLocker mapLocker(&mapLock);
    if (quitting())
        return;
    setQuitting(true);
    quitCalled.store(true);

    // The cache goes only after the last controller has joined its worker, so that no worker
    // still reading can store into a deleted cache, whichever threads the objects live in.
    // The reader goes last: a host that waits for its destroyed signal then knows that
    // everything of the reader is gone (when all live in one thread).
    VlContentCache *cache = VlContentCache::createdInstance();
    QList<VlContentReader_Ctrl *> live;
    for (VlContentReader_Ctrl *controller : qAsConst(controllers)) {
        if (controller)
            live.append(controller);
    }
    mapLocker.unlock();
    if (live.isEmpty()) {
        if (cache)
            cache->deleteLater();
        deleteLater();
        return;
    }
    auto remaining = std::make_shared<std::atomic<int>>(live.size());
    for (VlContentReader_Ctrl *controller : qAsConst(live)) {
        connect(controller, &QObject::destroyed, [remaining, cache, this] {
            if (remaining->fetch_sub(1) != 1)
                return;
            if (cache)
                cache->deleteLater();
            deleteLater();
        });
        controller->deleteLater();
    }
}

bool VlContentReader::quitting() const
{
    QMutexLocker quitLocker(&quitLock);
    return quittingFlag;
}

void VlContentReader::setQuitting(bool quitting)
{
    QMutexLocker quitLocker(&quitLock);
    quittingFlag = quitting;
}

void VlContentReader::on_readyContent(const QString &uri, int pageIndex, const QSize &requestedSize)
{
    emit readyContent(uri, pageIndex, requestedSize);
}

void VlContentReader::on_failedToRead(
    const QString &uri, int pageIndex, const QString &message, const QSize &requestedSize)
{
    emit failedToRead(uri, pageIndex, message, requestedSize);
}

void VlContentReader::on_allFinished(const QString &uri)
{
    // Under the map lock a read either reached the controller before (then it is busy and
    // stays) or finds no controller and makes a new one: no request is lost. After quit()
    // the controllers are quit's to delete.
    QMutexLocker mapLocker(&mapLock);
    VlContentReader_Ctrl *controller = controllers.value(uri);
    if (quitting() || !controller || !controller->isIdle())
        return;
    controllers.remove(uri);
    mapLocker.unlock();
    // Deleted at once, which joins its idle thread: a quit() that follows finds every
    // controller either in the map or gone.
    delete controller;
}

void VlContentReader::on_gotContentPageCount(const QString &uri, int pageCount)
{
    emit gotContentPageCount(uri, pageCount);
}

} // namespace Vela
