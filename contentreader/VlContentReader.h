#ifndef VELA_VLCONTENTREADER_H
#define VELA_VLCONTENTREADER_H

#include "vlcontentreader_export.h"

#include <QImage>
#include <QMap>
#include <QObject>
#include <QRecursiveMutex>
#include <QSize>
#include <QString>

#include <memory>

namespace Vela {

class VlContentReader_Ctrl;

// Reads content files (still images, pages of PDF documents) in the background into the
// process-wide image cache. Every operation is static and acts on one global instance.
//
// Threads: every call may come from any thread, which need not run an event loop and may end
// at any time, before or after the application object exists. The reader, the cache with its
// corrector and the controller of each uri live in the reader's own thread, which runs its
// event loop from the moment an application object exists until quit(), whatever the
// application's thread does; the signals are emitted there and reach receivers in other
// threads queued, the answers to one uri in the order of its requests. Requests made before
// the application object exists are kept and read once it does. Each uri read has a worker
// thread of its own, which is stopped once it has been idle for idleThreadTimeout() ms and
// started again by the next read of that uri. quit() may be called from any thread or slot:
// it ends the reader's loop, after which that thread deletes the controllers (joining their
// workers), waits for calls already under way in other threads, deletes the cache (joining
// the corrector's thread) and last the reader, and ends. Afterwards every call is a harmless
// no-op; the application object's destructor waits for the end when quit() was called.
//
// PDF pages are drawn in the worker threads, one at a time in the process (PDFium is not
// thread-safe), unless setPdfRenderProcesses() asks for render processes: then each worker
// hands its page to one of at most that many sandboxed vela-pdf-host processes and waits
// for the answer, so pages are drawn in parallel, and a document that crashes, hangs or
// exhausts PDFium costs one failed page instead of the host. The processes are started on
// demand by a thread of their own, end after idleThreadTimeout() of idleness, and are ended
// and waited for by quit(); none outlives its parent.
class VLCONTENTREADER_EXPORT VlContentReader : public QObject
{
    Q_OBJECT
public:
    ~VlContentReader() override;

    VlContentReader(const VlContentReader &) = delete;
    VlContentReader &operator=(const VlContentReader &) = delete;

    // Reads the content at its natural size, or at requestedSize when drawAtRequestedSize() is
    // on; the answer is readyContent or failedToRead. A still image is always page 0; for a
    // document -1 is the last page.
    static void read(const QString &uri, int pageIndex = 0, const QSize &requestedSize = QSize());
    // The cached natural-size image of (uri, page); empty when there is none.
    static std::shared_ptr<QImage> getImage(const QString &uri, int pageIndex = 0);
    // The first cached image of (uri, page) at least as large as size; empty when none is.
    static std::shared_ptr<QImage> getImageLarge(
        const QString &uri, int pageIndex, const QSize &size);
    // The same lookup as getImageLarge.
    static std::shared_ptr<QImage> getImageExactSize(
        const QString &uri, int pageIndex, const QSize &size);
    static int getContentPageCount(const QString &uri);
    static void clearAllCache();
    static quint64 getCachedSize();
    static quint64 getMaximumCacheSize();
    static void setMaximumCacheSize(quint64 bytes);
    static int getMaximumImageCount();
    static void setMaximumImageCount(int count);
    static int getMinimumImageCount();
    static void setMinimumImageCount(int count);
    // How long a uri's worker thread may stay idle before it is stopped, in ms (default 60000);
    // 0 or less keeps every thread until quit(). Applies from the next time a worker falls idle.
    static void setIdleThreadTimeout(int msec);
    static int idleThreadTimeout();
    // Off by default: every content is read at its natural size, and scaling is the caller's.
    // On, a PDF page or an SVG drawing read with a requestedSize of positive width and height
    // is drawn to fit within it, aspect kept (a page scaled after drawing would be blurred),
    // stored under that size's key (getImageLarge(uri, page, QSize()) finds it when it is the
    // page's only image) and answered with that requestedSize. The size limits hold on the
    // size drawn. Raster images are still read at natural size and answered as before.
    // Applies to reads that start after the call.
    static void setDrawAtRequestedSize(bool on);
    static bool drawAtRequestedSize();
    // How many render processes draw PDF pages; 0 (the default) draws them in the reader's
    // own threads. Applies to the requests made afterwards. Only on Linux; elsewhere pages
    // are always drawn in-process.
    static void setPdfRenderProcesses(int count);
    static int pdfRenderProcesses();
    // How long a render process may take for one page before it is killed, in ms (default
    // 30000); 0 or less: no limit.
    static void setPdfRenderTimeout(int msec);
    static int pdfRenderTimeout();
    // The address space each render process may use, in bytes (default 2 GiB); applies to
    // processes started afterwards.
    static void setPdfRenderMemoryLimit(quint64 bytes);
    static quint64 pdfRenderMemoryLimit();
    // The global instance, made on the first call; still the same object after quit() until
    // the deletion quit() scheduled has run, null from then on.
    static VlContentReader *globalInstance();
    // Schedules the deletion of every controller (each joins its worker thread), of the cache
    // and then of the reader, whose destroyed signal is the reader thread's last act. Never
    // waits; calls after quit() are ignored, and the reader cannot be started again within
    // the process.
    static void quit();

signals:
    void readyContent(const QString &uri, int pageIndex = 0, const QSize &requestedSize = QSize());
    void failedToRead(const QString &uri, int pageIndex, const QString &message,
        const QSize &requestedSize = QSize());
    void gotContentPageCount(const QString &uri, int pageCount);

private slots:
    void on_readyContent(
        const QString &uri, int pageIndex = 0, const QSize &requestedSize = QSize());
    void on_failedToRead(const QString &uri, int pageIndex, const QString &message,
        const QSize &requestedSize = QSize());
    void on_allFinished(const QString &uri);
    void on_gotContentPageCount(const QString &uri, int pageCount);

private:
    class Home;

    explicit VlContentReader(QObject *parent = nullptr);

    void p_read(const QString &uri, int pageIndex, const QSize &requestedSize);
    void p_quit();
    bool quitting() const;
    void setQuitting(bool quitting);

    QRecursiveMutex readLock;
    mutable QRecursiveMutex quitLock;
    bool quittingFlag = false;
    QMap<QString, VlContentReader_Ctrl *> controllers;
    QRecursiveMutex mapLock;
};

} // namespace Vela

#endif
