#include "PageWriter.h"

#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QThread>
#include <QtEndian>

#include <array>

namespace {

// A page of a document is a few MiB of pixels; the encoder below keeps all its filtered rows in
// one buffer. Anything much larger goes through Qt's streaming writer instead.
constexpr qint64 largestBufferedImage = 256ll * 1024 * 1024;
// zlib's fastest level: pages are mostly flat colour, which level 1 already shrinks to a few
// percent, and higher levels cost far more time than the bytes they save.
constexpr int zlibLevel = 1;
// The same speed for Qt's writer, whose quality 85 maps to zlib level 1.
constexpr int qtWriterQuality = 85;

quint32 crc32(const char *data, qsizetype size, quint32 crc = 0)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t {};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (qsizetype i = 0; i < size; ++i)
        crc = table[(crc ^ static_cast<uchar>(data[i])) & 0xff] ^ (crc >> 8);
    return ~crc;
}

void appendChunk(QByteArray &png, const char type[4], const char *data, qsizetype size)
{
    uchar word[4];
    qToBigEndian(quint32(size), word);
    png.append(reinterpret_cast<const char *>(word), 4);
    const qsizetype start = png.size();
    png.append(type, 4);
    png.append(data, size);
    qToBigEndian(crc32(png.constData() + start, size + 4), word);
    png.append(reinterpret_cast<const char *>(word), 4);
}

// The rows of a 32-bit image as PNG scanlines of RGB, or RGBA with alpha; each row starts with
// its filter type, None: the fastest, and zlib finds the runs of flat colour by itself.
// Without alpha, false as soon as a pixel is not opaque.
bool scanlines(const QImage &image, bool alpha, QByteArray *rows)
{
    const int width = image.width();
    const int height = image.height();
    const qsizetype rowBytes = 1 + qsizetype(width) * (alpha ? 4 : 3);
    rows->resize(rowBytes * height);
    auto *out = reinterpret_cast<uchar *>(rows->data());
    const bool mayBeTranslucent = image.hasAlphaChannel();
    for (int y = 0; y < height; ++y) {
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

// PNG with 8-bit RGB, or RGBA when a pixel is not opaque. Document pages are opaque once
// flattened onto white, and a fourth channel would only cost time and space.
QByteArray encodePng(const QImage &source)
{
    QImage image = source;
    const QImage::Format f = image.format();
    if (f != QImage::Format_RGB32 && f != QImage::Format_ARGB32
        && f != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(
            image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);

    QByteArray rows;
    bool alpha = false;
    if (!scanlines(image, false, &rows)) {
        alpha = true;
        // Opaque premultiplied pixels are already straight; translucent ones are not.
        if (image.format() == QImage::Format_ARGB32_Premultiplied)
            image = image.convertToFormat(QImage::Format_ARGB32);
        scanlines(image, true, &rows);
    }
    // qCompress writes a zlib stream behind a four-byte length, which PNG does not want.
    const QByteArray compressed = qCompress(rows, zlibLevel);
    rows.clear();
    if (compressed.size() <= 4)
        return {};

    QByteArray png;
    png.reserve(compressed.size() + 64);
    png.append("\x89PNG\r\n\x1a\n", 8);
    uchar header[13];
    qToBigEndian(quint32(image.width()), header);
    qToBigEndian(quint32(image.height()), header + 4);
    header[8] = 8; // bits per channel
    header[9] = alpha ? 6 : 2; // RGBA or RGB
    header[10] = header[11] = header[12] = 0; // deflate, adaptive filters, no interlace
    appendChunk(png, "IHDR", reinterpret_cast<const char *>(header), 13);
    appendChunk(png, "IDAT", compressed.constData() + 4, compressed.size() - 4);
    appendChunk(png, "IEND", nullptr, 0);
    return png;
}

} // namespace

PageWriter::PageWriter(QObject *parent)
    : QObject(parent)
{
    // The reader draws pages in threads of its own; more encoders than cores would only
    // take turns with it.
    m_pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
}

PageWriter::~PageWriter()
{
    m_pool.waitForDone();
}

void PageWriter::write(int ticket, std::shared_ptr<const QImage> image, const QString &path)
{
    m_pool.start([this, ticket, image = std::move(image), path] {
        const QString error = writePng(*image, path);
        emit written(ticket, error);
    });
}

QString PageWriter::writePng(const QImage &image, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return file.errorString();
    QString error;
    const qint64 rawBytes = qint64(image.width()) * image.height() * 4;
    if (rawBytes > largestBufferedImage) {
        QImageWriter writer(&file, "png");
        writer.setQuality(qtWriterQuality);
        if (!writer.write(image))
            error = writer.errorString();
    } else {
        const QByteArray png = encodePng(image);
        if (png.isEmpty())
            error = tr("the image could not be encoded");
        else if (file.write(png) != png.size())
            error = file.errorString();
    }
    if (error.isEmpty() && !file.flush())
        error = file.errorString();
    // A truncated PNG under the page's name would pass for a page; none is better.
    if (!error.isEmpty())
        file.remove();
    return error;
}
