#include "VlContentReader_Thr.h"

#include "VlContentCache.h"
#include "VlContentReader.h"
#include "VlDecodeRefusals.h"
#include "VlImageMeasure.h"
#include "VlPageMemory.h"
#include "VlPdfRenderPool.h"

#include <VlExclusiveLocker.h>
#include <VlExtension.h>
#include <VlPdf.h>
#include <VlPdf_p.h>

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QMutexLocker>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <memory>
#include <new>

namespace Vela {

namespace {

constexpr quint64 minimumDecodeLimit = 256ull * 1024 * 1024;

constexpr qint64 pdfChunkSize = 524288;
// What one QByteArray can hold, with room to spare for its header.
constexpr qint64 maximumContentBytes = std::numeric_limits<int>::max() - 1024 * 1024;

// The whole of a file. False when it cannot be opened or read, or is larger than a byte
// array can hold.
bool readWholeFile(const QString &path, QByteArray *bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Growing past what a byte array holds would throw from inside Qt.
    if (file.size() > maximumContentBytes)
        return false;
    try {
        *bytes = file.readAll();
    } catch (const std::bad_alloc &) {
        return false;
    }
    const bool ok = file.error() == QFileDevice::NoError;
    file.close();
    return ok;
}

class ReadStepScope
{
public:
    explicit ReadStepScope(bool &flag)
        : flag(flag)
    {
        flag = true;
    }
    ~ReadStepScope() { flag = false; }
    ReadStepScope(const ReadStepScope &) = delete;
    ReadStepScope &operator=(const ReadStepScope &) = delete;

private:
    bool &flag;
};

// Closes the request's document under the global renderer lock when the request ends, on
// every path; closing reaches PDFium like any other call.
class DocumentCloser
{
public:
    explicit DocumentCloser(VlPdf &pdf)
        : pdf(pdf)
    { }
    ~DocumentCloser()
    {
        QMutexLocker globalLocker(VlPdf::globalLocker());
        pdf.close();
    }
    DocumentCloser(const DocumentCloser &) = delete;
    DocumentCloser &operator=(const DocumentCloser &) = delete;

private:
    VlPdf &pdf;
};

} // namespace

struct VlContentReader_Thr::Prefetch
{
    QString digest;
    int pageIndex;
    QSize size;
    std::future<VlPdfRenderPool::Result> result;
};

VlContentReader_Thr::VlContentReader_Thr(const QString &uri, QObject *parent)
    : QObject(parent)
    , uri(uri)
    , mediaType(VlExtension().getMediaType(QFileInfo(uri).suffix()))
    , cache(VlContentCache::instance())
{
    connect(this, &VlContentReader_Thr::finished, this, &VlContentReader_Thr::onFinished,
        Qt::QueuedConnection);
}

VlContentReader_Thr::~VlContentReader_Thr() = default;

quint64 VlContentReader_Thr::decodeLimit(quint64 maximumCacheSize)
{
    return qMax(minimumDecodeLimit, maximumCacheSize);
}

bool VlContentReader_Thr::exceedsDecodeLimit(
    const QSize &declaredSize, QImage::Format format, quint64 limit)
{
    return !VlImageMeasure::fits(VlImageMeasure::imageBytes(declaredSize, format), limit);
}

void VlContentReader_Thr::read(int pageIndex, const QSize &size)
{
    QMutexLocker requestLocker(&requestLock);
    int lengthBefore;
    {
        QMutexLocker queueLocker(&queueLock);
        lengthBefore = requestQueue.size();
    }
    {
        QMutexLocker queueLocker(&queueLock);
        requestQueue.append({pageIndex, size});
    }
    if (lengthBefore == 0) {
        QTimer::singleShot(1, Qt::PreciseTimer, this, &VlContentReader_Thr::readNext);
        // The first document of the process loads and relocates PDFium, about a millisecond;
        // done here, before the read step's timer fires, it overlaps that wait instead of
        // lengthening the read. Later calls find the renderer loaded and only make the object.
        // With render processes it is one of those that is started, if none is free.
        if (mediaType == MediaType::pdf) {
            if (!drawsInProcesses())
                VlPdf renderer(nullptr);
            else if (VlPdfRenderPool *pool = VlPdfRenderPool::instance())
                pool->prestart();
        }
    }
}

void VlContentReader_Thr::abort()
{
    QMutexLocker abortLocker(&abortLock);
    abortedFlag = true;
}

void VlContentReader_Thr::onFinished()
{
    // The step under way ends with its own finished, whose handler moves on.
    if (inReadStep)
        return;
    int length;
    {
        QMutexLocker queueLocker(&queueLock);
        length = requestQueue.size();
    }
    if (length == 0)
        emit allFinished();
    else
        readNext();
}

void VlContentReader_Thr::readNext()
{
    // Reached from event processing inside a step: leave the item queued, the step's
    // finished handler picks it up once the step is over.
    if (inReadStep)
        return;
    RequestItem item;
    {
        QMutexLocker queueLocker(&queueLock);
        if (requestQueue.isEmpty()) {
            queueLocker.unlock();
            emit allFinished();
            return;
        }
        item = requestQueue.takeFirst();
    }
    readContent(item.pageIndex, answerSize(item.size));
}

QSize VlContentReader_Thr::answerSize(const QSize &requestedSize) const
{
    // Natural size, unless the host asked for drawings to be drawn at the size they are shown
    // at; only those that are drawn (documents, SVG) can be.
    if (requestedSize.isEmpty() || !VlContentReader::drawAtRequestedSize())
        return QSize();
    const QString suffix = QFileInfo(uri).suffix().toLower();
    if (mediaType == MediaType::pdf
        || (mediaType == MediaType::image
            && (suffix == QLatin1String("svg") || suffix == QLatin1String("svgz"))))
        return requestedSize;
    return QSize();
}

void VlContentReader_Thr::readContent(int pageIndex, const QSize &size)
{
    QMutexLocker readLocker(&readLock);
    ReadStepScope step(inReadStep);

    setLastError(QString());
    {
        QMutexLocker abortLocker(&abortLock);
        abortedFlag = false;
    }

    if (pageIndex < -1) {
        const QString message = tr("pageIndex must be -1 or grater.");
        setLastError(message);
        emit failedToRead(uri, pageIndex, message, size);
        emit finished(uri, pageIndex, size);
        return;
    }

    if (size.isValid() ? cache->contains(uri, pageIndex, size) : cache->contains(uri, pageIndex)) {
        emit readyContent(uri, pageIndex, size);
        emit finished(uri, pageIndex, size);
        return;
    }

    const QFileInfo file(uri);

    if (!file.exists()) {
        const QString message = tr("The file does not exist.");
        setLastError(message);
        emit failedToRead(uri, pageIndex, message, size);
        emit finished(uri, pageIndex, size);
        return;
    }

    bool ok = false;
    refusedForSize = false;
    switch (mediaType) {
    case MediaType::image:
        ok = readImage(file, size);
        VlDecodeRefusals::record(uri, pageIndex, refusedForSize);
        break;
    case MediaType::pdf:
        ok = readPdf(file, pageIndex, uri, size);
        VlDecodeRefusals::record(uri, pageIndex, refusedForSize);
        break;
    default:
        setLastError(tr("The content type is unsupported."));
        break;
    }

    if (ok) {
        emit readyContent(uri, pageIndex, size);
    } else if (isAborted()) {
        emit aborted(uri, pageIndex, size);
    } else {
        QString message;
        {
            QMutexLocker errorLocker(&errorLock);
            message = lastError;
        }
        emit failedToRead(uri, pageIndex, message, size);
    }
    emit finished(uri, pageIndex, size);
}

bool VlContentReader_Thr::readImage(const QFileInfo &file, const QSize &size)
{
    // The file is read once, and both the image and the digest the cache records come from
    // those bytes. Hashing the file again after decoding would record the digest of whatever
    // replaced it meanwhile next to the old image, and the change would never be noticed.
    QByteArray bytes;
    if (!readWholeFile(file.absoluteFilePath(), &bytes)) {
        setLastError(tr("An error occured while reading the image file."));
        return false;
    }
    const QString digest = VlContentCache::bytesDigest(bytes);
    if (contentReadHook)
        contentReadHook();

    // A small file may declare enormous dimensions, or hide a larger picture inside it; the
    // decoder would try to allocate it all. What decoding will allocate is measured from the
    // headers first, and such an image refused before anything is decoded.
    const quint64 limit = decodeLimit(cache->getMaximumCacheSize());
    const QByteArray format = VlImageMeasure::decoderFormat(bytes, file.suffix());
    if (!VlImageMeasure::fits(VlImageMeasure::decodedBytes(bytes, limit, size, format), limit)) {
        refusedForSize = true;
        setLastError(tr("An error occured while reading the image file."));
        return false;
    }

    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 refuses, on its own, any image over a process-wide default (128 MiB in 6.4), which
    // would make a picture that Qt 5 shows fail there. The measure above is this reader's
    // limit; Qt's is set to it, in whole megabytes rounded up.
    reader.setAllocationLimit(int(
        qMin<quint64>((limit + (1 << 20) - 1) >> 20, quint64(std::numeric_limits<int>::max()))));
#endif
    // Asked for at a size (see readNext): drawn to fit it, not drawn whole and scaled.
    if (size.isValid()) {
        const QSize natural = reader.size();
        if (!natural.isEmpty())
            reader.setScaledSize(natural.scaled(size, Qt::KeepAspectRatio).expandedTo({1, 1}));
    }

    auto image = std::make_shared<QImage>();
    if (!reader.read(image.get()) || image->isNull()) {
        setLastError(tr("An error occured while reading the image file."));
        return false;
    }
    cache->insert(std::move(image), uri, 0, size, digest);
    return true;
}

bool VlContentReader_Thr::readPdf(
    const QFileInfo &file, int pageIndex, const QString &uri, const QSize &size)
{
    const QString absolutePath = file.absoluteFilePath();
    // Marks the file as in use while it is read and drawn; other renderers of the process
    // wait for the key before they draw the same file. Taking it never waits.
    VlExclusiveLocker::Locker fileLocker(absolutePath);
    if (drawsInProcesses())
        return readPdfInHost(absolutePath, pageIndex, uri, size);

    VlPdf pdf(nullptr);
    // Made after the key, so it closes the document before the key is given back.
    const DocumentCloser closer(pdf);

    // The digest of the bytes the document was loaded from, recorded with its page count
    // and pages: the file may be replaced while the page is drawn. The cache asks for it only
    // when it makes the content's record, which for a known document it usually does not;
    // but the record may go while the page is drawn, so the bytes are kept until the page is
    // stored.
    std::shared_ptr<QByteArray> bytes;
    // A document the cache has no record of yet will be asked for its digest as soon as its
    // pages are counted; hashed while PDFium parses it, the digest costs the first page
    // nothing.
    std::shared_future<QString> earlyDigest;
    if (!loadPdfBytes(&pdf, absolutePath, &bytes,
            cache->getContentPageCount(uri) == 0 ? &earlyDigest : nullptr))
        return false;
    QString digest;
    const VlContentCache::DigestSource digestOf = [&digest, bytes, earlyDigest] {
        if (digest.isEmpty())
            digest = earlyDigest.valid() ? earlyDigest.get() : VlContentCache::bytesDigest(*bytes);
        return digest;
    };
    if (contentReadHook)
        contentReadHook();

    int count;
    {
        // PDFium must not be entered from two threads at once, not even for two different
        // documents, so counting pages needs the global lock as much as rendering does.
        QMutexLocker globalLocker(VlPdf::globalLocker());
        count = pdf.pageCount();
    }
    cache->setPageCount(uri, count, digestOf);
    emit gotContentPageCount(uri, count);

    if (count < 1) {
        setLastError(tr("The pdf file does not have a page."));
        return false;
    }
    if (pageIndex >= count) {
        setLastError(
            tr("The specified page index is over page count. The page count is %1.").arg(count));
        return false;
    }
    const int page = pageIndex == -1 ? count - 1 : pageIndex;

    std::shared_ptr<QImage> image;
    {
        QMutexLocker globalLocker(VlPdf::globalLocker());
        // A few bytes of PDF can declare a page of gigabytes when drawn; such a page is
        // refused before anything is allocated, under the same limit as a still image.
        const QSize pixels = pdf.renderSize(page, size);
        if (VlPdf::renderBytes(pixels) > decodeLimit(cache->getMaximumCacheSize())) {
            pdf.close();
            refusedForSize = true;
            setLastError(tr("Cannot get a image from the pdf file."));
            return false;
        }
        image = VlPageMemory::image(pixels, QImage::Format_ARGB32);
        const bool drawn = image && vlPdfRenderOntoWhite(pdf, page, size, image.get());
        // One page per request: the document has served its purpose either way.
        pdf.close();
        if (!drawn) {
            setLastError(tr("Cannot get a image from the pdf file."));
            return false;
        }
    }

    // Stored under the page it resolved to; the request's signals keep the index as asked.
    cache->insert(std::move(image), uri, page, size, digestOf);
    // The record may have been dropped while the page was drawn (cleared, or found changed),
    // and one made anew by the insert counts a single page; -1 would then miss this page.
    cache->setPageCount(uri, count, digestOf);
    return true;
}

bool VlContentReader_Thr::drawsInProcesses()
{
    return VlPdfRenderPool::supported() && VlPdfRenderPool::processCount() > 0;
}

bool VlContentReader_Thr::readPdfInHost(
    const QString &path, int pageIndex, const QString &uri, const QSize &size)
{
    std::shared_ptr<QByteArray> bytes;
    if (!readPdfBytes(path, &bytes))
        return false;
    // The render process keeps parsed documents by this digest, and it is the one the cache
    // records; it is taken of the bytes sent, whatever the file holds by now.
    const QString digest = VlContentCache::bytesDigest(*bytes);
    const VlContentCache::DigestSource digestOf = [digest] { return digest; };
    if (contentReadHook)
        contentReadHook();

    using Outcome = VlPdfRenderPool::Outcome;
    const quint64 limit = decodeLimit(cache->getMaximumCacheSize());
    prefetchQueuedPages(bytes, digest, pageIndex, size, limit);
    VlPdfRenderPool::Result result;
    const auto ahead
        = std::find_if(prefetched.begin(), prefetched.end(), [&](const Prefetch &page) {
              return page.digest == digest && page.pageIndex == pageIndex && page.size == size;
          });
    if (ahead != prefetched.end()) {
        result = ahead->result.get();
        prefetched.erase(ahead);
    } else if (VlPdfRenderPool *pool = VlPdfRenderPool::instance()) {
        result = pool->render(*bytes, digest, pageIndex, size, limit);
    }
    if (result.outcome == Outcome::NotStarted) {
        setLastError(tr("The PDF renderer could not be started."));
        return false;
    }
    if (result.outcome == Outcome::NotADocument) {
        setLastError(tr("The pdf file cannot be opened."));
        return false;
    }
    if (result.pageCount >= 0) {
        cache->setPageCount(uri, result.pageCount, digestOf);
        emit gotContentPageCount(uri, result.pageCount);
    }
    switch (result.outcome) {
    case Outcome::Drawn:
        cache->insert(std::move(result.image), uri, result.page, size, digestOf);
        cache->setPageCount(uri, result.pageCount, digestOf);
        return true;
    case Outcome::NoPage:
        if (result.pageCount < 1)
            setLastError(tr("The pdf file does not have a page."));
        else
            setLastError(tr("The specified page index is over page count. The page count is %1.")
                             .arg(result.pageCount));
        return false;
    case Outcome::TimedOut:
        setLastError(tr("The PDF renderer did not finish this page in time."));
        return false;
    case Outcome::Stopped:
        setLastError(tr("The PDF renderer stopped while drawing this page."));
        return false;
    case Outcome::TooLarge:
        // Refused before anything is allocated, as in this process.
        refusedForSize = true;
        Q_FALLTHROUGH();
    default:
        setLastError(tr("Cannot get a image from the pdf file."));
        return false;
    }
}

void VlContentReader_Thr::prefetchQueuedPages(const std::shared_ptr<QByteArray> &bytes,
    const QString &digest, int currentPage, const QSize &currentSize, quint64 limit)
{
    // Each queued request as its read step will ask for it (see readNext).
    QList<QPair<int, QSize>> queued;
    {
        const bool sized = VlContentReader::drawAtRequestedSize();
        QMutexLocker queueLocker(&queueLock);
        for (const RequestItem &item : qAsConst(requestQueue))
            queued.append({item.pageIndex, sized && !item.size.isEmpty() ? item.size : QSize()});
    }
    const QPair<int, QSize> current(currentPage, currentSize);
    // Pages drawn ahead for bytes that have changed since, or for requests that were answered
    // otherwise, are of no use; finished ones go now, running ones once they are done (the
    // future of std::async waits for its task when it goes).
    prefetched.remove_if([&](const Prefetch &page) {
        const QPair<int, QSize> key(page.pageIndex, page.size);
        const bool useless = page.digest != digest || (key != current && !queued.contains(key));
        return useless
            && page.result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    VlPdfRenderPool *pool = VlPdfRenderPool::instance();
    int spare = VlPdfRenderPool::processCount() - 1;
    for (const Prefetch &page : prefetched) {
        if (page.digest == digest && QPair<int, QSize>(page.pageIndex, page.size) != current)
            --spare;
    }
    if (!pool || spare <= 0)
        return;
    QList<QPair<int, QSize>> wanted;
    for (const auto &key : qAsConst(queued)) {
        if (wanted.size() >= spare)
            break;
        const bool known = key == current || wanted.contains(key)
            || std::any_of(prefetched.begin(), prefetched.end(), [&](const Prefetch &ahead) {
                   return ahead.digest == digest && ahead.pageIndex == key.first
                       && ahead.size == key.second;
               });
        const bool cached = key.second.isValid() ? cache->contains(uri, key.first, key.second)
                                                 : cache->contains(uri, key.first);
        if (key.first >= -1 && !known && !cached)
            wanted << key;
    }
    for (const auto &key : qAsConst(wanted)) {
        const int page = key.first;
        const QSize size = key.second;
        try {
            prefetched.push_back({digest, page, size, std::async(std::launch::async, [=] {
                                      return pool->render(*bytes, digest, page, size, limit);
                                  })});
        } catch (const std::exception &) {
            return; // no thread to spare: the page is drawn in its own step
        }
    }
}

bool VlContentReader_Thr::loadPdfBytes(VlPdf *pdf, const QString &path,
    std::shared_ptr<QByteArray> *loaded, std::shared_future<QString> *digest)
{
    if (!readPdfBytes(path, loaded))
        return false;
    const std::shared_ptr<QByteArray> bytes = *loaded;
    if (digest) {
        try {
            *digest = std::async(std::launch::async, [bytes] {
                return VlContentCache::bytesDigest(*bytes);
            }).share();
        } catch (const std::exception &) {
            // No thread to spare: the digest is taken when it is asked for.
        }
    }

    bool ok;
    {
        QMutexLocker globalLocker(VlPdf::globalLocker());
        ok = pdf->load(bytes, QString(""));
    }
    if (!ok) {
        setLastError(tr("The pdf file cannot be opened."));
        return false;
    }
    return true;
}

bool VlContentReader_Thr::readPdfBytes(const QString &path, std::shared_ptr<QByteArray> *loaded)
{
    QFile pdfFile(path);
    if (!pdfFile.exists()) {
        setLastError(tr("The pdf file does not exist."));
        return false;
    }
    if (!pdfFile.open(QIODevice::ReadOnly)) {
        setLastError(tr("The pdf file can not be opened."));
        return false;
    }

    // The bytes live as long as the last of the caller's copy and the open document.
    std::shared_ptr<QByteArray> bytes(new QByteArray(), [](QByteArray *data) {
        delete data;
        QMessageLogger().debug("Raw PDF data deleted.");
    });

    const auto readError = [this, &pdfFile] {
        pdfFile.close();
        setLastError(tr("An error occured while reading the pdf file."));
        return false;
    };

    // A document that a byte array cannot hold is refused before anything is read; growing
    // past the limit would throw from inside Qt.
    if (pdfFile.size() > maximumContentBytes)
        return readError();
    try {
        bytes->reserve(int(pdfFile.size()));
        while (!pdfFile.atEnd()) {
            const int offset = bytes->size();
            const qint64 room = maximumContentBytes - offset;
            if (room <= 0)
                return readError(); // the file grew while it was read
            const int wanted = int(qMin(pdfChunkSize, room));
            bytes->resize(offset + wanted);
            const qint64 got = pdfFile.read(bytes->data() + offset, wanted);
            bytes->resize(offset + int(qMax<qint64>(got, 0)));
            if (pdfFile.error() != QFileDevice::NoError || got < 0)
                return readError();
            if (isAborted()) {
                pdfFile.close();
                setLastError(tr("Aborted while reading the pdf file."));
                return false;
            }
            if (got == 0)
                break; // a device that claims more data but delivers none would loop forever
        }
    } catch (const std::bad_alloc &) {
        return readError();
    }
    pdfFile.close();
    *loaded = bytes;
    return true;
}

void VlContentReader_Thr::setLastError(const QString &message)
{
    QMutexLocker errorLocker(&errorLock);
    lastError = message;
}

bool VlContentReader_Thr::isAborted() const
{
    QMutexLocker abortLocker(&abortLock);
    return abortedFlag;
}

} // namespace Vela
