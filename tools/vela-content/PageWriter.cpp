#include "PageWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QSemaphore>
#include <QThread>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

// A page of a document is a few MiB of pixels; the encoder below keeps all its filtered rows in
// one buffer. Anything much larger goes through Qt's streaming writer instead.
constexpr qint64 largestBufferedImage = 256ll * 1024 * 1024;
// zlib's fastest level: pages are mostly flat colour, which level 1 already shrinks to a few
// percent, and higher levels cost far more time than the bytes they save.
constexpr int zlibLevel = 1;
// Fewer rows than this are not worth a band of their own.
constexpr int minimumBandRows = 128;
// The same speed for Qt's writer, whose quality 85 maps to zlib level 1.
constexpr int qtWriterQuality = 85;

void appendChunk(QByteArray &png, const char type[4], const char *data, qsizetype size)
{
    uchar word[4];
    qToBigEndian(quint32(size), word);
    png.append(reinterpret_cast<const char *>(word), 4);
    const qsizetype start = png.size();
    png.append(type, 4);
    png.append(data, size);
    const uLong crc = crc32(crc32(0, nullptr, 0),
        reinterpret_cast<const Bytef *>(png.constData() + start), uInt(size + 4));
    qToBigEndian(quint32(crc), word);
    png.append(reinterpret_cast<const char *>(word), 4);
}

// The rows top to bottom - 1 of a 32-bit image as PNG scanlines of RGB, or RGBA with alpha;
// each row starts with its filter type, None: the fastest, and zlib finds the runs of flat
// colour by itself. Without alpha, false as soon as a pixel is not opaque.
bool scanlines(const QImage &image, bool alpha, int top, int bottom, QByteArray *rows)
{
    const int width = image.width();
    const qsizetype rowBytes = 1 + qsizetype(width) * (alpha ? 4 : 3);
    rows->resize(rowBytes * (bottom - top));
    auto *out = reinterpret_cast<uchar *>(rows->data());
    const bool mayBeTranslucent = image.hasAlphaChannel();
    for (int y = top; y < bottom; ++y) {
        *out++ = 0;
        const auto *in = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        if (alpha) {
            for (int x = 0; x < width; ++x) {
                const QRgb p = in[x];
                out[0] = uchar(qRed(p));
                out[1] = uchar(qGreen(p));
                out[2] = uchar(qBlue(p));
                out[3] = uchar(qAlpha(p));
                out += 4;
            }
            continue;
        }
        QRgb opaque = 0xff000000u;
        for (int x = 0; x < width; ++x) {
            const QRgb p = in[x];
            opaque &= p;
            out[0] = uchar(qRed(p));
            out[1] = uchar(qGreen(p));
            out[2] = uchar(qBlue(p));
            out += 3;
        }
        if (mayBeTranslucent && opaque != 0xff000000u)
            return false;
    }
    return true;
}

// A horizontal band of the image, deflated on its own as a piece of the image's one zlib
// stream: every band but the last ends on a byte boundary without ending the stream, so the
// pieces can simply be joined, and each may be deflated by another thread.
struct Band
{
    int top = 0;
    int bottom = 0;
    bool last = false;
    QByteArray deflated;
    quint32 adler = 0;
    qsizetype rawBytes = 0;
    bool opaque = true;
    bool ok = false;
};

// What one thread needs to deflate bands, kept from one band to the next: zlib's state and
// the band's rows are several hundred KiB, whose first use costs more page faults than a band
// of plain text costs to deflate.
class BandDeflater
{
public:
    BandDeflater()
    {
        // Raw deflate: the stream's header and checksum are written once, for all bands.
        m_ready
            = deflateInit2(&m_stream, zlibLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~BandDeflater()
    {
        if (m_ready)
            deflateEnd(&m_stream);
    }
    BandDeflater(const BandDeflater &) = delete;
    BandDeflater &operator=(const BandDeflater &) = delete;

    void deflateBand(const QImage &image, bool alpha, Band *band)
    {
        band->ok = false;
        band->opaque = scanlines(image, alpha, band->top, band->bottom, &m_rows);
        if (!band->opaque || !m_ready || deflateReset(&m_stream) != Z_OK)
            return;
        band->rawBytes = m_rows.size();
        band->adler = quint32(adler32(adler32(0, nullptr, 0),
            reinterpret_cast<const Bytef *>(m_rows.constData()), uInt(m_rows.size())));
        // The bound covers the data; a flush adds an empty block of a few bytes.
        band->deflated.resize(qsizetype(deflateBound(&m_stream, uLong(m_rows.size()))) + 64);
        m_stream.next_in = reinterpret_cast<Bytef *>(m_rows.data());
        m_stream.avail_in = uInt(m_rows.size());
        m_stream.next_out = reinterpret_cast<Bytef *>(band->deflated.data());
        m_stream.avail_out = uInt(band->deflated.size());
        const int result = deflate(&m_stream, band->last ? Z_FINISH : Z_SYNC_FLUSH);
        band->ok = band->last ? result == Z_STREAM_END : result == Z_OK && m_stream.avail_in == 0;
        band->deflated.resize(qsizetype(m_stream.total_out));
    }

private:
    z_stream m_stream {};
    bool m_ready = false;
    QByteArray m_rows;
};

// Deflates the bands in this thread and in the idle threads of helpers, each taking the next
// band left; false when one of them is not opaque while alpha is false, or fails. Bands of a
// page cost very different times (a photograph beside plain text), so there are more bands
// than threads.
bool deflateBands(const QImage &image, bool alpha, std::vector<Band> &bands, QThreadPool *helpers)
{
    std::atomic<size_t> next {0};
    QSemaphore helped;
    const auto work = [&image, alpha, &bands, &next] {
        BandDeflater deflater;
        for (size_t i = next++; i < bands.size(); i = next++)
            deflater.deflateBand(image, alpha, &bands[i]);
    };
    int started = 0;
    for (int i = 1; helpers && i < helpers->maxThreadCount(); ++i) {
        // Only idle threads: encoders busy with other pages would make this one wait.
        if (!helpers->tryStart([&work, &helped] {
                work();
                helped.release();
            }))
            break;
        ++started;
    }
    work();
    helped.acquire(started);
    return std::all_of(bands.cbegin(), bands.cend(), [](const Band &b) { return b.ok; });
}

// PNG with 8-bit RGB, or RGBA when a pixel is not opaque. Document pages are opaque once
// flattened onto white, and a fourth channel would only cost time and space.
QByteArray encodePng(const QImage &source, QThreadPool *helpers)
{
    QImage image = source;
    const QImage::Format f = image.format();
    if (f != QImage::Format_RGB32 && f != QImage::Format_ARGB32
        && f != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(
            image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);

    const int height = image.height();
    const int threads = helpers ? qMax(1, helpers->maxThreadCount()) : 1;
    const int count = qBound(1, height / minimumBandRows, threads == 1 ? 1 : 4 * threads);
    std::vector<Band> bands(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        bands[size_t(i)].top = int(qint64(height) * i / count);
        bands[size_t(i)].bottom = int(qint64(height) * (i + 1) / count);
    }
    bands.back().last = true;

    bool alpha = false;
    if (!deflateBands(image, false, bands, helpers)) {
        if (std::all_of(bands.cbegin(), bands.cend(), [](const Band &b) { return b.opaque; }))
            return {};
        alpha = true;
        // Opaque premultiplied pixels are already straight; translucent ones are not.
        if (image.format() == QImage::Format_ARGB32_Premultiplied)
            image = image.convertToFormat(QImage::Format_ARGB32);
        if (!deflateBands(image, true, bands, helpers))
            return {};
    }

    QByteArray idat;
    qsizetype deflatedBytes = 0;
    for (const Band &band : bands)
        deflatedBytes += band.deflated.size();
    idat.reserve(deflatedBytes + 6);
    // The zlib header for deflate with a 32 KiB window at the fastest level.
    idat.append("\x78\x01", 2);
    uLong adler = bands.front().adler;
    for (size_t i = 0; i < bands.size(); ++i) {
        idat.append(bands[i].deflated);
        if (i > 0)
            adler = adler32_combine(adler, bands[i].adler, z_off_t(bands[i].rawBytes));
    }
    uchar word[4];
    qToBigEndian(quint32(adler), word);
    idat.append(reinterpret_cast<const char *>(word), 4);

    QByteArray png;
    png.reserve(idat.size() + 64);
    png.append("\x89PNG\r\n\x1a\n", 8);
    uchar header[13];
    qToBigEndian(quint32(image.width()), header);
    qToBigEndian(quint32(image.height()), header + 4);
    header[8] = 8; // bits per channel
    header[9] = alpha ? 6 : 2; // RGBA or RGB
    header[10] = header[11] = header[12] = 0; // deflate, adaptive filters, no interlace
    appendChunk(png, "IHDR", reinterpret_cast<const char *>(header), 13);
    appendChunk(png, "IDAT", idat.constData(), idat.size());
    appendChunk(png, "IEND", nullptr, 0);
    return png;
}

// A short write (a disk that filled up) sets no error; writing the rest does, with the
// system's reason.
QString writeAll(QFile &file, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return file.errorString();
        done += written;
    }
    return QString();
}

QImage scaledIfAsked(const QImage &image, const QSize &scaleTo)
{
    if (!scaleTo.isValid() || scaleTo == image.size())
        return image;
    return image.scaled(scaleTo, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// Hidden, beside the final file (a rename does not cross file systems), and unique within the
// machine's runs.
QString temporaryPath(const QString &path)
{
    static std::atomic<int> counter {0};
    const QFileInfo info(path);
    return info.dir().filePath(QStringLiteral(".%1.%2-%3.part")
                                   .arg(info.fileName())
                                   .arg(QCoreApplication::applicationPid())
                                   .arg(counter++));
}

// Replaces to with from in one step; empty on success, else the system's reason.
QString renameOver(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    // No replacing rename in Qt's API on Windows: the old page goes first.
    QFile::remove(to);
    QFile file(from);
    return file.rename(to) ? QString() : file.errorString();
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return QString();
    return qt_error_string(errno);
#endif
}

} // namespace

PageWriter::PageWriter(QObject *parent)
    : QObject(parent)
{
    // The reader draws pages in threads of its own; more encoders than cores would only
    // take turns with it.
    m_pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
    // The threads start now, while the reader draws the first page, and set up their
    // allocator arenas and zlib's state: a single page deflated in bands at once by all of
    // them would otherwise wait for that.
    for (int i = 0; i < m_pool.maxThreadCount(); ++i)
        m_pool.start([] { BandDeflater warm; });
}

PageWriter::~PageWriter()
{
    m_pool.waitForDone();
}

void PageWriter::write(
    int ticket, std::shared_ptr<const QImage> image, const QString &path, const QSize &scaleTo)
{
    m_pool.start([this, ticket, image = std::move(image), path, scaleTo] {
        const QString error = writePng(scaledIfAsked(*image, scaleTo), path);
        emit written(ticket, error);
    });
}

QString PageWriter::writeNow(const QImage &image, const QString &path, const QSize &scaleTo)
{
    return writePng(scaledIfAsked(image, scaleTo), path, &m_pool);
}

QString PageWriter::writePng(const QImage &image, const QString &path, QThreadPool *helpers)
{
    QFile file(temporaryPath(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return file.errorString();
    QString error;
    const qint64 rawBytes = qint64(image.width()) * image.height() * 4;
    if (rawBytes > largestBufferedImage) {
        QImageWriter writer(&file, "png");
        writer.setQuality(qtWriterQuality);
        if (!writer.write(image))
            error = writer.errorString();
    } else {
        const QByteArray png = encodePng(image, helpers);
        if (png.isEmpty())
            error = tr("the image could not be encoded");
        else
            error = writeAll(file, png);
    }
    if (error.isEmpty() && !file.flush())
        error = file.errorString();
    file.close();
    if (error.isEmpty() && file.error() != QFileDevice::NoError)
        error = file.errorString();
    if (error.isEmpty())
        error = renameOver(file.fileName(), path);
    // A truncated PNG would pass for a page; none is better.
    if (!error.isEmpty())
        file.remove();
    return error;
}
