#include "VlContentReader.h"

#include "VlContentCache.h"
#include "VlContentReader_Ctrl.h"
#include "VlPdfRenderPool.h"

#include <QCoreApplication>
#include <QList>
#include <QMutexLocker>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace Vela {

namespace {

// Set once by quit(). The global pointer is never reset, so from then on the static calls
// must not reach the reader or the cache, which are deleted soon after.
std::atomic<bool> quitCalled {false};
// Set when the reader is deleted: globalInstance() then answers null, not a dangling pointer.
std::atomic<bool> readerDeleted {false};
std::atomic<int> idleTimeout {60000};
std::atomic<bool> drawAtRequested {false};

// Static calls under way. The teardown deletes the cache and the reader only once none is:
// a call that passed the quit check in another thread finishes with live objects.
std::atomic<int> callsUnderWay {0};
std::mutex callsLock;
std::condition_variable callsEnded;

// One static call. The count is raised before the quit flag is read, and quit() sets the
// flag before the teardown reads the count (all sequentially consistent): either the call
// sees the flag and touches nothing, or the teardown sees the call and waits for it.
class CallScope
{
public:
    CallScope() { callsUnderWay.fetch_add(1); }
    ~CallScope()
    {
        if (callsUnderWay.fetch_sub(1) == 1 && quitCalled.load()) {
            std::lock_guard<std::mutex> locker(callsLock);
            callsEnded.notify_all();
        }
    }
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

    bool live() const { return !quitCalled.load(); }
};

void waitForCallsToEnd()
{
    std::unique_lock<std::mutex> locker(callsLock);
    callsEnded.wait(locker, [] { return callsUnderWay.load() == 0; });
}

} // namespace

// The reader's own thread. Qt delivers no event before an application object exists, so it
// waits for one (told by a pre-routine, at once when it already exists), runs its loop until
// quit(), and then deletes everything of the reader in order. Nothing in it waits for a host
// thread, so the reader answers whatever the application's thread does.
class VlContentReader::Home : public QThread
{
public:
    static Home *instance();

    // From p_quit(): ends the wait for the application object or the loop.
    void requestQuit();
    // With the reader's map lock held: true, keeping the request for the loop's start, while
    // the loop has not started; false from then on.
    bool deferRead(const QString &uri, int pageIndex, const QSize &requestedSize);

protected:
    void run() override;

private:
    struct Request
    {
        QString uri;
        int pageIndex;
        QSize requestedSize;
    };

    Home() = default;
    static void applicationCreated();
    static void applicationDestroyed();
    void teardown(VlContentReader *reader);

    static std::atomic<Home *> made;
    std::mutex gateLock;
    std::condition_variable gate;
    bool applicationExists = false;
    bool quitRequested = false;
    // Both guarded by the reader's map lock, so that a read is either kept before the loop
    // starts or forwarded after the kept ones: the requests of one uri stay in order.
    bool loopStarted = false;
    QList<Request> kept;
};

// Set before the routines are registered, which may call applicationCreated() at once.
std::atomic<VlContentReader::Home *> VlContentReader::Home::made {nullptr};

VlContentReader::Home *VlContentReader::Home::instance()
{
    static Home *const home = [] {
        auto *created = new Home;
        created->setObjectName(QStringLiteral("VlContentReader"));
        // Made in the first caller's thread, which may end at any time; the thread object
        // lives in the thread it runs, like everything else of the reader.
        created->moveToThread(created);
        VlContentCache::setHomeThread(created);
        made.store(created);
        created->start();
        qAddPostRoutine(&Home::applicationDestroyed);
        qAddPreRoutine(&Home::applicationCreated);
        return created;
    }();
    return home;
}

void VlContentReader::Home::applicationCreated()
{
    Home *home = made.load();
    std::lock_guard<std::mutex> locker(home->gateLock);
    home->applicationExists = true;
    home->gate.notify_all();
}

void VlContentReader::Home::applicationDestroyed()
{
    // A host that quits from aboutToQuit and returns from main() must not leave the reader's
    // threads running into the process's exit.
    Home *home = made.load();
    bool quit;
    {
        std::lock_guard<std::mutex> locker(home->gateLock);
        quit = home->quitRequested;
    }
    if (quit && QThread::currentThread() != home)
        home->wait();
}

void VlContentReader::Home::requestQuit()
{
    {
        std::lock_guard<std::mutex> locker(gateLock);
        quitRequested = true;
        gate.notify_all();
    }
    // Also before exec() has begun, which then returns at once.
    quit();
}

bool VlContentReader::Home::deferRead(const QString &uri, int pageIndex, const QSize &requestedSize)
{
    if (loopStarted)
        return false;
    kept.append({uri, pageIndex, requestedSize});
    return true;
}

void VlContentReader::Home::run()
{
    bool quitFirst;
    {
        std::unique_lock<std::mutex> locker(gateLock);
        gate.wait(locker, [this] { return applicationExists || quitRequested; });
        quitFirst = quitRequested;
    }
    VlContentReader *reader = VlContentReader::globalInstance();
    if (!quitFirst) {
        {
            QMutexLocker readLocker(&reader->readLock);
            QMutexLocker mapLocker(&reader->mapLock);
            loopStarted = true;
            for (const Request &request : qAsConst(kept))
                reader->p_read(request.uri, request.pageIndex, request.requestedSize);
            kept.clear();
        }
        exec();
    }
    teardown(reader);
}

void VlContentReader::Home::teardown(VlContentReader *reader)
{
    // The quitting flag was set under the map lock, so no read adds a controller any more.
    QList<VlContentReader_Ctrl *> controllers;
    {
        QMutexLocker mapLocker(&reader->mapLock);
        controllers = reader->controllers.values();
        reader->controllers.clear();
        kept.clear();
    }
    // Each joins its worker, also one in the middle of a read step, before the cache goes:
    // no worker can store into a deleted cache.
    qDeleteAll(controllers);
    waitForCallsToEnd();
    // Joins the corrector's thread; no pass runs, the loop having ended.
    delete VlContentCache::createdInstance();
    delete reader;
}

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
        QThread *home = Home::instance();
        auto *created = new VlContentReader(nullptr);
        created->moveToThread(home);
        return created;
    }();
    // Between quit() and the deletion it scheduled the reader still exists, and a host may
    // want it, for example to wait for its destroyed() signal.
    return readerDeleted.load() ? nullptr : instance;
}

namespace {

// The process-wide cache for one static call, in the reader's home; null after quit().
template<typename Result, typename Call> Result withCache(Result none, Call call)
{
    CallScope scope;
    if (!scope.live())
        return none;
    VlContentReader::globalInstance(); // gives the cache its home before it is made
    return call(VlContentCache::instance());
}

template<typename Call> void withCache(Call call)
{
    withCache(0, [&call](VlContentCache *cache) {
        call(cache);
        return 0;
    });
}

} // namespace

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

void VlContentReader::setPdfRenderProcesses(int count)
{
    VlPdfRenderPool::setProcessCount(count);
}

int VlContentReader::pdfRenderProcesses()
{
    return VlPdfRenderPool::processCount();
}

void VlContentReader::setPdfRenderTimeout(int msec)
{
    VlPdfRenderPool::setTimeout(msec);
}

int VlContentReader::pdfRenderTimeout()
{
    return VlPdfRenderPool::timeout();
}

void VlContentReader::setPdfRenderMemoryLimit(quint64 bytes)
{
    VlPdfRenderPool::setMemoryLimit(bytes);
}

quint64 VlContentReader::pdfRenderMemoryLimit()
{
    return VlPdfRenderPool::memoryLimit();
}

void VlContentReader::read(const QString &uri, int pageIndex, const QSize &requestedSize)
{
    CallScope scope;
    if (!scope.live())
        return;
    if (VlContentReader *reader = globalInstance())
        reader->p_read(uri, pageIndex, requestedSize);
}

std::shared_ptr<QImage> VlContentReader::getImage(const QString &uri, int pageIndex)
{
    return withCache(std::shared_ptr<QImage>(),
        [&](VlContentCache *cache) { return cache->getImage(uri, pageIndex); });
}

std::shared_ptr<QImage> VlContentReader::getImageLarge(
    const QString &uri, int pageIndex, const QSize &size)
{
    return withCache(std::shared_ptr<QImage>(),
        [&](VlContentCache *cache) { return cache->getImageLarge(uri, pageIndex, size); });
}

std::shared_ptr<QImage> VlContentReader::getImageExactSize(
    const QString &uri, int pageIndex, const QSize &size)
{
    return getImageLarge(uri, pageIndex, size);
}

int VlContentReader::getContentPageCount(const QString &uri)
{
    return withCache(0, [&](VlContentCache *cache) { return cache->getContentPageCount(uri); });
}

void VlContentReader::clearAllCache()
{
    withCache([](VlContentCache *cache) { cache->clearAll(); });
}

quint64 VlContentReader::getCachedSize()
{
    return withCache(quint64(0), [](VlContentCache *cache) { return cache->getCachedSize(); });
}

quint64 VlContentReader::getMaximumCacheSize()
{
    return withCache(
        quint64(0), [](VlContentCache *cache) { return cache->getMaximumCacheSize(); });
}

void VlContentReader::setMaximumCacheSize(quint64 bytes)
{
    withCache([bytes](VlContentCache *cache) { cache->setMaximumCacheSize(bytes); });
}

int VlContentReader::getMaximumImageCount()
{
    return withCache(0, [](VlContentCache *cache) { return cache->getMaximumImageCount(); });
}

void VlContentReader::setMaximumImageCount(int count)
{
    withCache([count](VlContentCache *cache) { cache->setMaximumImageCount(count); });
}

int VlContentReader::getMinimumImageCount()
{
    return withCache(0, [](VlContentCache *cache) { return cache->getMinimumImageCount(); });
}

void VlContentReader::setMinimumImageCount(int count)
{
    withCache([count](VlContentCache *cache) { cache->setMinimumImageCount(count); });
}

void VlContentReader::quit()
{
    // A second quit() racing the teardown must not reach the reader either.
    CallScope scope;
    if (!scope.live())
        return;
    if (VlContentReader *reader = globalInstance())
        reader->p_quit();
}

void VlContentReader::p_read(const QString &uri, int pageIndex, const QSize &requestedSize)
{
    QMutexLocker readLocker(&readLock);
    QMutexLocker mapLocker(&mapLock);
    if (quitting() || Home::instance()->deferRead(uri, pageIndex, requestedSize))
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
    // before the flag is set, and the teardown finds it, or sees the flag and adds none: no
    // worker can outlive the cache. Lock order as in p_read: map, then quit.
    QMutexLocker mapLocker(&mapLock);
    if (quitting())
        return;
    setQuitting(true);
    quitCalled.store(true);
    mapLocker.unlock();
    // Pages being drawn in render processes fail at once instead of holding up the joins of
    // the workers, and every process is gone when this returns.
    if (VlPdfRenderPool *pool = VlPdfRenderPool::createdInstance())
        pool->shutdown();
    // The reader's thread ends its loop and deletes everything itself, in whatever thread
    // this runs, also inside a slot of its own loop.
    Home::instance()->requestQuit();
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
    // A notice that a controller released since sent must not release its successor. Were
    // the successor made at the released one's address, it is released only when idle, which
    // the next read undoes.
    if (quitting() || !controller || sender() != controller || !controller->isIdle())
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
