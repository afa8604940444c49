#ifndef VELA_VLCONTENTREADER_THR_H
#define VELA_VLCONTENTREADER_THR_H

#include <MediaType.h>

#include <QByteArray>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QObject>
#include <QRecursiveMutex>
#include <QSize>
#include <QString>

#include <functional>
#include <future>
#include <list>
#include <memory>

namespace Vela {

class VlContentCache;
class VlContentReader_ThrProbe;
class VlPdf;

// The worker of one content uri. It lives in its controller's thread; every slot and the
// handler of its own finished signal run there, one read step at a time. Results leave by
// signals, which the controller receives queued in its own thread.
class VlContentReader_Thr : public QObject
{
    Q_OBJECT
public:
    VlContentReader_Thr(const QString &uri, QObject *parent);
    ~VlContentReader_Thr() override;

    VlContentReader_Thr(const VlContentReader_Thr &) = delete;
    VlContentReader_Thr &operator=(const VlContentReader_Thr &) = delete;

    // The most bytes a still image may decode to: 256 MiB, or the cache's byte limit when
    // that is larger.
    static quint64 decodeLimit(quint64 maximumCacheSize);
    // True when an image declaring this size would decode to more than limit bytes. An
    // unknown size (invalid) is left to the decoder.
    static bool exceedsDecodeLimit(const QSize &declaredSize, QImage::Format format, quint64 limit);

    // The size a request for requestedSize is read at and answered with. Depends only on the
    // uri and the reader's setting, so any thread may ask.
    QSize answerSize(const QSize &requestedSize) const;

signals:
    void readyContent(const QString &uri, int pageIndex, const QSize &requestedSize);
    void failedToRead(
        const QString &uri, int pageIndex, const QString &message, const QSize &requestedSize);
    void aborted(const QString &uri, int pageIndex, const QSize &requestedSize);
    void finished(const QString &uri, int pageIndex, const QSize &requestedSize);
    void allFinished();
    void gotContentPageCount(const QString &uri, int pageCount);

public slots:
    void read(int pageIndex = 0, const QSize &size = QSize());
    void abort();

private slots:
    void readNext();

private:
    friend class VlContentReader_ThrProbe;

    struct RequestItem
    {
        int pageIndex;
        QSize size;
    };

    void readContent(int pageIndex, const QSize &size);
    bool readImage(const QFileInfo &file, const QSize &size);
    bool readPdf(const QFileInfo &file, int pageIndex, const QString &uri, const QSize &size);
    bool loadPdfBytes(VlPdf *pdf, const QString &path, std::shared_ptr<QByteArray> *loaded,
        std::shared_future<QString> *digest = nullptr);
    // The whole file, or false with the reason as the last error.
    bool readPdfBytes(const QString &path, std::shared_ptr<QByteArray> *loaded);
    // readPdf's path when pages are drawn by render processes.
    bool readPdfInHost(const QString &path, int pageIndex, const QString &uri, const QSize &size);
    static bool drawsInProcesses();
    // Hands the pages queued behind the current one to spare render processes; their read
    // steps take the answers if the document is still the same.
    void prefetchQueuedPages(const std::shared_ptr<QByteArray> &bytes, const QString &digest,
        int currentPage, const QSize &currentSize, quint64 limit);
    void setLastError(const QString &message);
    bool isAborted() const;
    void onFinished();

    QString uri;
    // What the uri names never changes for this worker: asked once, not at every request.
    const MediaType::MediaTypes mediaType;
    QString lastError;
    mutable QRecursiveMutex errorLock;
    VlContentCache *cache;
    mutable QRecursiveMutex abortLock;
    bool abortedFlag = false;
    QRecursiveMutex readLock;
    QList<RequestItem> requestQueue;
    QRecursiveMutex queueLock;
    QRecursiveMutex requestLock;
    // Set while a read step runs; touched only in the worker's thread.
    bool inReadStep = false;
    // Set by a read step that refused its image or page for what it would decode to.
    bool refusedForSize = false;
    // Called in the worker's thread after a content's bytes were read and before anything
    // is recorded for them; set only through VlContentReader_ThrProbe.
    std::function<void()> contentReadHook;

    // Pages of the document being read, drawn ahead by render processes for requests still
    // in the queue; touched only in the worker's thread.
    struct Prefetch;
    std::list<Prefetch> prefetched;
};

} // namespace Vela

#endif
