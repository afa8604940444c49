#include "VlPdfAsync.h"

#include "VlExclusiveLocker.h"
#include "VlPdf.h"

#include <QCoreApplication>
#include <QDebug>
#include <QImage>
#include <QMutexLocker>
#include <QThread>

#include <atomic>

namespace Vela {

namespace {

// A few bytes of PDF can declare a page of gigabytes when drawn. A render that would allocate
// more than this is refused, as the content reader refuses such a page by default. Read by
// every worker thread, set by any.
std::atomic<quint64> maximumBytes {256ull * 1024 * 1024};

} // namespace

// The wait for a document key processes the caller's events, and one of them may delete this
// object: a deleteLater() of it or of its parent that comes due, or a slot that deletes it
// outright. The render that waits then holds the locks below, so they live as long as any
// render still running needs them, and the destructor leaves word here that the render must
// unwind without touching anything else.
struct VlPdfAsync::RenderGuard
{
    QMutex operation;
    QMutex keyWait;
    bool destroyed = false;
};

VlPdfAsync::VlPdfAsync(QObject *parent, bool worker)
    : QObject(parent)
    , m_guard(std::make_shared<RenderGuard>())
    , m_isWorker(worker)
{
    qRegisterMetaType<Error>("Error");
}

void VlPdfAsync::setMaximumRenderBytes(quint64 bytes)
{
    maximumBytes.store(bytes, std::memory_order_relaxed);
}

quint64 VlPdfAsync::maximumRenderBytes()
{
    return maximumBytes.load(std::memory_order_relaxed);
}

VlPdfAsync::~VlPdfAsync()
{
    m_guard->destroyed = true;
    if (m_thread) {
        // The finished handler would run after this object is gone; do its work here.
        disconnect(m_thread, nullptr, this, nullptr);
        // A worker polling for a key that is never released would otherwise never let the
        // thread end.
        m_thread->requestInterruption();
        m_thread->quit();
        m_thread->wait();
        // The thread has ended, so nothing else can touch the worker any more.
        delete m_worker;
        m_worker = nullptr;
        delete m_thread;
        m_thread = nullptr;
    }
    // ~VlPdf closes a document that is still open under the global lock.
    delete m_document;
    m_document = nullptr;
}

const VlPdfAsync *VlPdfAsync::target() const
{
    const VlPdfAsync *object = this;
    while (!object->m_isWorker && object->m_worker)
        object = object->m_worker;
    return object;
}

VlPdfAsync *VlPdfAsync::target()
{
    return const_cast<VlPdfAsync *>(static_cast<const VlPdfAsync *>(this)->target());
}

std::shared_ptr<QImage> VlPdfAsync::takePageImage(int pageIndex)
{
    VlPdfAsync *object = target();
    if (!object->m_isWorker)
        return {};
    QMutexLocker locker(&object->m_storeMutex);
    return object->m_pageImages.take(pageIndex);
}

void VlPdfAsync::clearPageImages()
{
    QMutexLocker locker(&m_storeMutex);
    m_pageImages.clear();
}

bool VlPdfAsync::isOpened(QString *uri) const
{
    const VlPdfAsync *object = target();
    if (uri) {
        QMutexLocker locker(&object->m_uriMutex);
        *uri = object->m_uri;
    }
    return object->m_opened.loadAcquire();
}

bool VlPdfAsync::isRendering() const
{
    return target()->m_rendering.loadAcquire();
}

bool VlPdfAsync::isRunning() const
{
    return m_thread && m_thread->isRunning();
}

bool VlPdfAsync::isAborted() const
{
    const VlPdfAsync *object = target();
    QMutexLocker locker(&object->m_abortMutex);
    return object->m_aborted;
}

int VlPdfAsync::pageCount() const
{
    return target()->m_pageCount.loadAcquire();
}

QString VlPdfAsync::uri() const
{
    const VlPdfAsync *object = target();
    QMutexLocker locker(&object->m_uriMutex);
    return object->m_uri;
}

void VlPdfAsync::setUri(const QString &uri)
{
    VlPdfAsync *object = target();
    QMutexLocker locker(&object->m_uriMutex);
    object->m_uri = uri;
}

void VlPdfAsync::open(const QString &uri)
{
    if (!m_isWorker) {
        if (m_worker)
            emit requestOpen(uri);
        return;
    }
    if (m_waitingForKey) {
        m_deferred.append([this, uri] { workerOpen(uri); });
        return;
    }
    workerOpen(uri);
}

void VlPdfAsync::render(int page, const QSize &size)
{
    if (!m_isWorker) {
        if (m_worker)
            emit requestRender(page, size);
        return;
    }
    if (m_waitingForKey) {
        m_deferred.append([this, page, size] { workerRender(page, size); });
        return;
    }
    workerRender(page, size);
}

void VlPdfAsync::close()
{
    if (!m_isWorker) {
        m_pageCount.storeRelease(0);
        if (m_worker)
            emit requestClose();
        return;
    }
    // Deferred like open and render, so that the document a waiting render is about to draw
    // stays open and requests keep their order.
    if (m_waitingForKey) {
        m_deferred.append([this] { workerClose(); });
        return;
    }
    workerClose();
}

void VlPdfAsync::abort()
{
    if (!m_isWorker) {
        if (m_worker)
            emit requestAbort(0);
        return;
    }
    QMutexLocker locker(&m_abortMutex);
    m_aborted = true;
}

void VlPdfAsync::startThread()
{
    if (m_isWorker || m_worker)
        return;
    m_worker = new VlPdfAsync(nullptr, true);
    m_thread = new QThread();

    connect(this, &VlPdfAsync::requestOpen, m_worker, &VlPdfAsync::open, Qt::QueuedConnection);
    connect(this, &VlPdfAsync::requestRender, m_worker, &VlPdfAsync::render, Qt::QueuedConnection);
    connect(this, &VlPdfAsync::requestClose, m_worker, &VlPdfAsync::close, Qt::QueuedConnection);
    connect(this, &VlPdfAsync::requestAbort, m_worker, &VlPdfAsync::abort, Qt::QueuedConnection);
    connect(m_worker, &VlPdfAsync::opened, this, &VlPdfAsync::child_opened, Qt::QueuedConnection);
    connect(m_worker, &VlPdfAsync::failedToOpen, this, &VlPdfAsync::child_failedToOpen,
        Qt::QueuedConnection);
    connect(
        m_worker, &VlPdfAsync::rendered, this, &VlPdfAsync::child_rendered, Qt::QueuedConnection);
    connect(m_worker, &VlPdfAsync::failedToRender, this, &VlPdfAsync::child_failedToRender,
        Qt::QueuedConnection);
    connect(m_worker, &VlPdfAsync::aborted, this, &VlPdfAsync::child_aborted, Qt::QueuedConnection);
    connect(m_worker, &VlPdfAsync::closed, this, &VlPdfAsync::child_closed, Qt::QueuedConnection);

    connect(m_thread, &QThread::started, m_worker, &VlPdfAsync::init);
    connect(m_thread, &QThread::finished, this, &VlPdfAsync::onThreadFinished);
    connect(
        m_worker, &VlPdfAsync::threadStarted, this, [this] { emit threadStarted(); },
        Qt::QueuedConnection);

    m_worker->moveToThread(m_thread);
    m_thread->start(QThread::InheritPriority);
}

void VlPdfAsync::quitThread()
{
    if (m_thread)
        m_thread->quit();
}

void VlPdfAsync::onThreadFinished()
{
    if (!m_thread)
        return;
    // finished() is emitted just before the thread really ends.
    m_thread->wait();
    delete m_worker;
    m_worker = nullptr;
    // This runs from a queued call, so the emission that sent it is long over.
    delete m_thread;
    m_thread = nullptr;
    emit threadFinished();
}

void VlPdfAsync::init()
{
    if (!m_isWorker)
        return;
    if (!m_document)
        m_document = new VlPdf();
    emit threadStarted();
}

void VlPdfAsync::child_opened(const QString &uri)
{
    emit opened(uri);
}

void VlPdfAsync::child_failedToOpen(const Error &error)
{
    emit failedToOpen(error);
}

void VlPdfAsync::child_rendered(const QString &uri, int pageIndex)
{
    emit rendered(uri, pageIndex);
}

void VlPdfAsync::child_failedToRender(const Error &error)
{
    emit failedToRender(error);
}

void VlPdfAsync::child_aborted(const QString &uri, int pageIndex)
{
    emit aborted(uri, pageIndex);
}

void VlPdfAsync::child_closed(const QString &uri)
{
    emit closed(uri);
}

VlPdf *VlPdfAsync::getPdfInstance()
{
    static VlPdf *const pdf = new VlPdf();
    return pdf;
}

bool VlPdfAsync::waitUntilLockGlobalPdf(const QString &key)
{
    const std::shared_ptr<RenderGuard> guard = m_guard;
    QMutexLocker locker(&guard->keyWait);
    m_waitingForKey = true;
    bool taken = false;
    while (!(taken = VlExclusiveLocker::lock(key))) {
        // Lets abort() through; open, render and close are kept for later (see m_deferred).
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (guard->destroyed)
            return false;
        if (QThread::currentThread()->isInterruptionRequested())
            break;
        QThread::msleep(1);
    }
    m_waitingForKey = false;
    return taken;
}

void VlPdfAsync::unlockGlobalPdf(const QString &key)
{
    VlExclusiveLocker::unlock(key);
}

void VlPdfAsync::workerOpen(const QString &uri)
{
    QString path = uri.isEmpty() ? this->uri() : uri;
    m_opened.storeRelease(false);
    if (path.isEmpty()) {
        m_pageCount.storeRelease(0);
        emit failedToOpen(Error {path, 0, tr("Specified path is empty.")});
        return;
    }

    if (!m_document)
        m_document = new VlPdf();
    // Closed before the operation lock is taken, because closed() goes out from here and a
    // directly connected slot of a synchronous worker may call back into it, or delete it.
    if (m_document->filePath() != path) {
        qDebug("Path is different. Current file will be close.");
        qDebug("Is Rendering: %s", m_rendering.loadAcquire() ? "true" : "false");
        const std::shared_ptr<RenderGuard> guard = m_guard;
        workerClose();
        if (guard->destroyed)
            return;
    }

    bool ok = false;
    {
        QMutexLocker operation(&m_guard->operation);
        setUri(path);

        QMutexLocker global(VlPdf::globalLocker());
        ok = m_document->open(path, QString(""));
        m_pageCount.storeRelease(ok ? m_document->pageCount() : 0);
        m_opened.storeRelease(ok);
    }
    // Likewise the result goes out after the locks are released.
    if (ok)
        emit opened(path);
    else
        emit failedToOpen(Error {path, 0, tr("Failed to open the PDF.")});
}

void VlPdfAsync::workerRender(int page, const QSize &size)
{
    {
        QMutexLocker locker(&m_abortMutex);
        m_aborted = false;
    }

    const std::shared_ptr<RenderGuard> guard = m_guard;
    QString uri;
    QString failure;
    bool keyTaken = false;
    std::unique_ptr<QImage, VlPdf::Image_Deleter> image;
    {
        QMutexLocker operation(&guard->operation);
        m_rendering.storeRelease(true);
        uri = this->uri();
        if (!m_opened.loadAcquire()) {
            failure = tr("The PDF has not been opened.");
        } else {
            // The key first, then the global lock: waiting for a key must never hold up the
            // other users of PDFium.
            keyTaken = waitUntilLockGlobalPdf(uri);
            // Deleted during the wait: the render is dropped, with no signal from an object
            // that is gone.
            if (guard->destroyed)
                return;
            if (keyTaken) {
                QString reason;
                QSize refused;
                const quint64 limit = maximumRenderBytes();
                {
                    QMutexLocker global(VlPdf::globalLocker());
                    const QSize pixels = m_document->renderSize(page, size);
                    if (VlPdf::renderBytes(pixels) > limit) {
                        refused = pixels;
                    } else {
                        image = m_document->render(page, size);
                        // PDFium's error state is shared by every caller, so it is read under
                        // the same hold as the render it explains.
                        if (!image)
                            reason = VlPdf::getErrorMessage(m_document->lastError());
                    }
                }
                unlockGlobalPdf(uri);
                if (refused.isValid())
                    reason = tr("The page is too large to render at %1x%2 pixels: more than the "
                                "limit of %3 bytes.")
                                 .arg(refused.width())
                                 .arg(refused.height())
                                 .arg(limit);
                if (!image)
                    failure = tr("An error occured. %1").arg(reason);
            }
        }
    }

    // Every branch is done with the object before it emits: a directly connected slot may
    // delete a synchronous worker.
    if (!failure.isEmpty()) {
        m_rendering.storeRelease(false);
        emit failedToRender(Error {uri, page, failure});
    } else if (!keyTaken || isAborted()) {
        // Also the end of a render whose key wait was given up because the thread stops.
        m_rendering.storeRelease(false);
        emit aborted(uri, page);
    } else {
        {
            QMutexLocker store(&m_storeMutex);
            m_pageImages.insert(
                page, std::shared_ptr<QImage>(image.release(), VlPdf::Image_Deleter()));
        }
        m_rendering.storeRelease(false);
        // Emitted after the store is released, so that a directly connected slot can take the
        // image from the same thread.
        emit rendered(uri, page);
    }

    // A directly connected slot of a synchronous worker may have deleted it.
    if (!guard->destroyed)
        runDeferredRequests();
}

void VlPdfAsync::workerClose()
{
    m_pageCount.storeRelease(0);
    // A closed document cannot be rendered; saying so beats drawing from a closed handle.
    m_opened.storeRelease(false);
    const QString uri = this->uri();
    if (m_document) {
        QMutexLocker global(VlPdf::globalLocker());
        m_document->close();
    }
    emit closed(uri);
}

void VlPdfAsync::runDeferredRequests()
{
    // Only the outermost caller drains, so a long queue of renders does not nest.
    if (m_draining)
        return;
    const std::shared_ptr<RenderGuard> guard = m_guard;
    m_draining = true;
    while (!m_deferred.isEmpty()) {
        if (QThread::currentThread()->isInterruptionRequested()) {
            m_deferred.clear();
            break;
        }
        const std::function<void()> request = m_deferred.takeFirst();
        request();
        // A deferred render may have been the one during whose wait this object was deleted.
        if (guard->destroyed)
            return;
    }
    m_draining = false;
}

} // namespace Vela
