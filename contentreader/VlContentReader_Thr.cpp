#include "VlContentReader_Thr.h"

#include "VlContentCache.h"

#include <MediaType.h>
#include <VlExtension.h>

#include <QFile>
#include <QImageReader>
#include <QMutexLocker>
#include <QPixelFormat>
#include <QTimer>
#include <QtEndian>

#include <memory>

namespace Vela {

namespace {

constexpr quint64 minimumDecodeLimit = 256ull * 1024 * 1024;

// The logical screen of a GIF file, which its decoder allocates whole while the reader's
// size() reports only the first frame; QSize() for anything else.
QSize gifScreenSize(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QSize();
    const QByteArray header = file.read(10);
    if (header.size() < 10 || !header.startsWith("GIF"))
        return QSize();
    return QSize(qFromLittleEndian<quint16>(header.constData() + 6),
        qFromLittleEndian<quint16>(header.constData() + 8));
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

} // namespace

VlContentReader_Thr::VlContentReader_Thr(const QString &uri, QObject *parent)
    : QObject(parent)
    , uri(uri)
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
    if (!declaredSize.isValid() || declaredSize.isEmpty())
        return false;
    int bits = 0;
    if (format != QImage::Format_Invalid)
        bits = int(QImage::toPixelFormat(format).bitsPerPixel());
    if (bits <= 0)
        bits = 32; // what most decoders produce when the handler does not say
    const quint64 bytesPerLine = (quint64(declaredSize.width()) * quint64(bits) + 31) / 32 * 4;
    return quint64(declaredSize.height()) > limit / bytesPerLine;
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
    if (lengthBefore == 0)
        QTimer::singleShot(1, Qt::PreciseTimer, this, &VlContentReader_Thr::readNext);
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
    readContent(item.pageIndex, QSize());
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

    if (cache->contains(uri, pageIndex)) {
        emit readyContent(uri, pageIndex, size);
        emit finished(uri, pageIndex, size);
        return;
    }

    const QFileInfo file(uri);
    const MediaType::MediaTypes type = VlExtension().getMediaType(file.suffix());

    if (!file.exists()) {
        const QString message = tr("The file does not exist.");
        setLastError(message);
        emit failedToRead(uri, pageIndex, message, size);
        emit finished(uri, pageIndex, size);
        return;
    }

    bool ok = false;
    switch (type) {
    case MediaType::image:
        ok = readImage(file, QSize());
        break;
    case MediaType::pdf:
        ok = readPdf(file, pageIndex, uri, QSize());
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
    QImageReader reader(file.absoluteFilePath());
    reader.setDecideFormatFromContent(true);

    // A small file may declare enormous dimensions; the decoder would try to allocate them
    // all. The header is read first and such an image refused before anything is decoded.
    QSize declared = reader.size();
    if (reader.format() == "gif")
        declared = declared.expandedTo(gifScreenSize(file.absoluteFilePath()));
    const quint64 limit = decodeLimit(cache->getMaximumCacheSize());
    if (exceedsDecodeLimit(declared, reader.imageFormat(), limit)) {
        setLastError(tr("An error occured while reading the image file."));
        return false;
    }

    auto image = std::make_shared<QImage>();
    if (!reader.read(image.get()) || image->isNull()) {
        setLastError(tr("An error occured while reading the image file."));
        return false;
    }
    cache->insert(std::move(image), uri, 0, size);
    return true;
}

bool VlContentReader_Thr::readPdf(
    const QFileInfo &file, int pageIndex, const QString &uri, const QSize &size)
{
    // Documents are rendered by the PDF library, which this library does not link yet; until
    // it does, a document is content of an unsupported type.
    Q_UNUSED(file)
    Q_UNUSED(pageIndex)
    Q_UNUSED(uri)
    Q_UNUSED(size)
    setLastError(tr("The content type is unsupported."));
    return false;
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
