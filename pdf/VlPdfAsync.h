#ifndef VELA_VLPDFASYNC_H
#define VELA_VLPDFASYNC_H

#include "vlpdf_export.h"

#include <QAtomicInteger>
#include <QImage>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

class QThread;

namespace Vela {

class VlPdf;

// Opens and renders a PDF document away from the caller's thread.
//
// Threads: the front (the object the caller makes) lives in the caller's thread;
// startThread() makes a worker object of the same class and moves it into a QThread of its
// own. Requests reach the worker only as queued signals (requestOpen, requestRender,
// requestClose, requestAbort) and it answers with queued signals that the front re-emits in
// its own thread. The accessors of a front read the worker's fields across threads, each
// under the worker's mutex for that field or as an atomic value.
//
// A worker made directly (VlPdfAsync(nullptr, true)) and never given a thread renders
// synchronously in the caller's thread and emits its signals directly. A directly connected
// slot may delete it from any of its signals. Its wait for a key processes the caller's
// events; if one of them deletes the worker, the waiting render is dropped without a signal.
//
// Before each render the worker waits until it can take the document's key in
// VlExclusiveLocker, then takes VlPdf::globalLocker() for the PDFium calls themselves.
class VLPDF_EXPORT VlPdfAsync : public QObject
{
    Q_OBJECT

public:
    struct Error
    {
        QString uri;
        int pageIndex = 0;
        QString message;
    };

    explicit VlPdfAsync(QObject *parent = nullptr, bool worker = false);
    // Stops and joins the thread of a front and frees its worker and the worker's document.
    ~VlPdfAsync() override;

    VlPdfAsync(const VlPdfAsync &) = delete;
    VlPdfAsync &operator=(const VlPdfAsync &) = delete;

    // The most bytes one rendered image may take (default 256 MiB), for every object of the
    // process; a render above it fails before anything is allocated. Callable from any thread;
    // a render already past its check keeps the limit it saw.
    static void setMaximumRenderBytes(quint64 bytes);
    static quint64 maximumRenderBytes();

    std::shared_ptr<QImage> takePageImage(int pageIndex);
    void clearPageImages();
    bool isOpened(QString *uri) const;
    bool isRendering() const;
    bool isRunning() const;
    bool isAborted() const;
    int pageCount() const;
    QString uri() const;
    void setUri(const QString &uri);

signals:
    void requestOpen(const QString &uri);
    void opened(const QString &uri);
    void failedToOpen(const Error &error);
    void requestRender(int pageIndex = 0, const QSize &size = QSize());
    void rendered(const QString &uri, int pageIndex = 0);
    void failedToRender(const Error &error);
    void requestAbort(int pageIndex = 0);
    void aborted(const QString &uri, int pageIndex = 0);
    void requestClose();
    void closed(const QString &uri);
    void threadStarted();
    void threadFinished();

public slots:
    void open(const QString &uri);
    void render(int page = 0, const QSize &size = QSize());
    void close();
    void abort();
    void startThread();
    void quitThread();

private slots:
    void init();
    void child_opened(const QString &uri);
    void child_failedToOpen(const Error &error);
    void child_rendered(const QString &uri, int pageIndex = 0);
    void child_failedToRender(const Error &error);
    void child_aborted(const QString &uri, int pageIndex = 0);
    void child_closed(const QString &uri);

private:
    static VlPdf *getPdfInstance();
    // False when the wait was given up because the thread is being stopped or this object
    // was deleted by an event processed during the wait; in the latter case the caller must
    // not touch the object any more.
    bool waitUntilLockGlobalPdf(const QString &key);
    void unlockGlobalPdf(const QString &key);

    const VlPdfAsync *target() const;
    VlPdfAsync *target();
    void onThreadFinished();
    void workerOpen(const QString &uri);
    void workerRender(int page, const QSize &size);
    void workerClose();
    void runDeferredRequests();

    VlPdfAsync *m_worker = nullptr;
    VlPdf *m_document = nullptr;
    QThread *m_thread = nullptr;
    mutable QMutex m_uriMutex;
    QString m_uri;
    // The operation and key-wait locks, shared with every render of this object while it
    // runs (see RenderGuard).
    struct RenderGuard;
    const std::shared_ptr<RenderGuard> m_guard;
    QAtomicInteger<bool> m_rendering {false};
    const bool m_isWorker;
    bool m_aborted = false;
    mutable QMutex m_abortMutex;
    QAtomicInteger<bool> m_opened {false};
    QAtomicInt m_pageCount {0};
    QMap<int, std::shared_ptr<QImage>> m_pageImages;
    QMutex m_storeMutex;

    // Requests delivered to the worker while a render waits for its key; they run in order
    // once that render is over. Touched only by the worker's own thread.
    bool m_waitingForKey = false;
    bool m_draining = false;
    QList<std::function<void()>> m_deferred;
};

} // namespace Vela

Q_DECLARE_METATYPE(Vela::VlPdfAsync::Error)

#endif
