#include "VlImageMeasure.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPixelFormat>
#include <QXmlStreamReader>
#include <QtEndian>

#include <zlib.h>

#include <limits>

namespace Vela {

namespace {

constexpr quint64 unbounded = std::numeric_limits<quint64>::max();
// Pictures inside pictures (a PNG in an icon, an SVG in an SVG) are measured this deep; a
// deeper one is taken as hostile.
constexpr int maximumDepth = 4;
// A compressed SVG is inflated only this far to look inside it; more text than this is
// refused, as it would be held and parsed whole.
constexpr qint64 maximumSvgText = 64 * 1024 * 1024;
// Referenced picture files are read for measuring only up to this size.
constexpr qint64 maximumReferencedFile = 64 * 1024 * 1024;

quint64 saturatingAdd(quint64 a, quint64 b)
{
    return a > unbounded - b ? unbounded : a + b;
}

// The logical screen of a GIF file, which its decoder allocates whole while the reader's
// size() reports only the first frame; QSize() for anything else.
QSize gifScreenSize(const QByteArray &bytes)
{
    if (bytes.size() < 10 || !bytes.startsWith("GIF"))
        return QSize();
    return QSize(qFromLittleEndian<quint16>(bytes.constData() + 6),
        qFromLittleEndian<quint16>(bytes.constData() + 8));
}

bool isGzip(const QByteArray &bytes)
{
    return bytes.size() >= 2 && quint8(bytes[0]) == 0x1f && quint8(bytes[1]) == 0x8b;
}

// The text of a compressed SVG, every gzip member of it; false when it inflates past the
// cap. A damaged stream ends the text where it breaks, as the SVG loader stops there too.
bool inflateSvg(const QByteArray &bytes, QByteArray *text)
{
    z_stream stream = {};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    char chunk[16384];
    bool ok = true;
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof(chunk);
        const int result = inflate(&stream, Z_NO_FLUSH);
        const int produced = int(sizeof(chunk) - stream.avail_out);
        if (text->size() + qint64(produced) > maximumSvgText) {
            ok = false;
            break;
        }
        text->append(chunk, produced);
        if (result == Z_STREAM_END) {
            if (stream.avail_in == 0 || inflateReset(&stream) != Z_OK)
                break;
        } else if (result != Z_OK || (produced == 0 && stream.avail_in == 0)) {
            break;
        }
    }
    inflateEnd(&stream);
    return ok;
}

// The bytes a picture reference of an SVG stands for: the payload of a Base64 data URI, or
// the file it names. Empty for anything the SVG loader would not load; false when a named
// file is too large to be measured.
bool referencedPicture(const QString &reference, QByteArray *picture)
{
    // The loader decodes whatever follows the last "base64," of a data URI.
    const QString value = reference.trimmed();
    if (value.startsWith(QLatin1String("data"))) {
        const int at = value.lastIndexOf(QLatin1String("base64,"));
        if (at >= 0)
            *picture = QByteArray::fromBase64(value.mid(at + 7).toLatin1());
        return true;
    }
    if (value.isEmpty() || value.startsWith(QLatin1Char('#')))
        return true;
    QFile file(value);
    // A device such as /dev/zero never ends; the loader's own format check gives up on it.
    if (!file.exists() || !file.open(QIODevice::ReadOnly) || file.isSequential())
        return true;
    if (file.size() > maximumReferencedFile)
        return false;
    *picture = file.readAll();
    return true;
}

} // namespace

quint64 VlImageMeasure::decodedBytes(const QByteArray &bytes, quint64 limit, const QSize &fitInto)
{
    return measure(bytes, limit, 0, fitInto);
}

quint64 VlImageMeasure::imageBytes(const QSize &size, QImage::Format format)
{
    if (!size.isValid() || size.isEmpty())
        return 0;
    int bits = 0;
    if (format != QImage::Format_Invalid)
        bits = int(QImage::toPixelFormat(format).bitsPerPixel());
    if (bits <= 0)
        bits = 32; // what most decoders produce when the handler does not say
    const quint64 bytesPerLine = (quint64(size.width()) * quint64(bits) + 31) / 32 * 4;
    if (quint64(size.height()) > unbounded / bytesPerLine)
        return unbounded;
    return quint64(size.height()) * bytesPerLine;
}

bool VlImageMeasure::fits(quint64 bytes, quint64 limit)
{
    return bytes != unbounded && bytes <= limit;
}

quint64 VlImageMeasure::measure(
    const QByteArray &bytes, quint64 limit, int depth, const QSize &fitInto)
{
    if (depth > maximumDepth)
        return unbounded;
    QByteArray copy(bytes);
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();

    quint64 total = 0;
    // Asking an SVG for its size parses it, which decodes its embedded pictures: they are
    // measured first.
    if (format.startsWith("svg")) {
        total = svgEmbeddedBytes(bytes, limit, depth);
        if (!fits(total, limit))
            return unbounded;
    }
    QSize declared = reader.size();
    if (format.startsWith("svg") && !fitInto.isEmpty() && !declared.isEmpty())
        declared = declared.scaled(fitInto, Qt::KeepAspectRatio);
    if (format == "gif")
        declared = declared.expandedTo(gifScreenSize(bytes));
    if (format == "ico" || format == "cur") {
        const quint64 entry = iconEntryBytes(bytes, limit, depth);
        if (entry > 0)
            return entry;
    }
    return saturatingAdd(total, imageBytes(declared, reader.imageFormat()));
}

quint64 VlImageMeasure::svgEmbeddedBytes(const QByteArray &bytes, quint64 limit, int depth)
{
    QByteArray text;
    if (isGzip(bytes)) {
        if (!inflateSvg(bytes, &text))
            return unbounded;
    } else {
        text = bytes;
    }
    // The document is held as text while it is parsed.
    quint64 total = quint64(text.size());
    if (!fits(total, limit))
        return unbounded;
    // The same parser as the SVG loader's, so that entities and character references give
    // the references it will see.
    QXmlStreamReader xml(text);
    while (!xml.atEnd() && !xml.hasError()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        for (const QXmlStreamAttribute &attribute : attributes) {
            if (!attribute.qualifiedName().endsWith(QLatin1String("href")))
                continue;
            QByteArray picture;
            if (!referencedPicture(attribute.value().toString(), &picture))
                return unbounded;
            if (!picture.isEmpty())
                total = saturatingAdd(total, measure(picture, limit, depth + 1));
            if (!fits(total, limit))
                return unbounded;
        }
    }
    return total;
}

quint64 VlImageMeasure::iconEntryBytes(const QByteArray &bytes, quint64 limit, int depth)
{
    // The decoder reads the first entry of the directory. Its own header declares at most
    // 256 x 256 pixels, but an entry that holds a PNG decodes to whatever that PNG declares.
    constexpr int directorySize = 6;
    constexpr int entrySize = 16;
    if (bytes.size() < directorySize + entrySize)
        return 0;
    const char *entry = bytes.constData() + directorySize;
    const quint32 length = qFromLittleEndian<quint32>(entry + 8);
    const quint32 offset = qFromLittleEndian<quint32>(entry + 12);
    const QByteArray pngMagic("\x89PNG\r\n\x1a\n", 8);
    // The decoder seeks to the entry's offset without checking that it could: an offset past
    // the end leaves it just after the entry, and it reads from there.
    const bool seekable = offset <= quint32(bytes.size());
    const int magicAt = seekable ? int(offset) : directorySize + entrySize;
    if (!bytes.mid(magicAt, pngMagic.size()).startsWith(pngMagic))
        return bitmapEntryBytes(bytes, entry, seekable ? offset : quint32(bytes.size()));
    // A PNG entry is first read into a buffer of the length the directory gives, allocated
    // whole however few bytes follow. After a failed seek the bytes read are not a PNG and
    // nothing more is decoded.
    const quint64 buffer = qMax<quint64>(1, length);
    if (!seekable)
        return buffer;
    const QByteArray data
        = bytes.mid(int(offset), int(qMin<quint32>(length, quint32(bytes.size()) - offset)));
    return saturatingAdd(buffer, measure(data, limit, depth + 1));
}

quint64 VlImageMeasure::bitmapEntryBytes(const QByteArray &bytes, const char *entry, quint32 offset)
{
    // The decoder applies the entry's mask with setAlphaChannel(), so the image it returns
    // has 32 bits a pixel whatever depth the directory claims, and the reader's imageFormat()
    // reports the directory's claim. A size of 0 in the directory means 256, but some Qt
    // versions take the bitmap header's own width and half its height instead.
    constexpr int bitmapHeaderSize = 40;
    const int entryWidth = quint8(entry[0]);
    const int entryHeight = quint8(entry[1]);
    int width = entryWidth ? entryWidth : 256;
    int height = entryHeight ? entryHeight : 256;
    if ((!entryWidth || !entryHeight)
        && quint64(offset) + bitmapHeaderSize <= quint64(bytes.size())) {
        const char *header = bytes.constData() + offset;
        if (!entryWidth)
            width = qMax(width, qFromLittleEndian<qint32>(header + 4));
        if (!entryHeight)
            height = qMax(height, qFromLittleEndian<qint32>(header + 8) / 2);
    }
    return imageBytes(QSize(width, height), QImage::Format_ARGB32);
}

} // namespace Vela
