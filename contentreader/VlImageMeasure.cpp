#include "VlImageMeasure.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPixelFormat>
#include <QUrl>
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
// size() reports only the first frame. The decoder skips the six signature bytes unchecked
// when it is asked for a GIF by name, so neither is the signature checked here.
QSize gifScreenSize(const QByteArray &bytes)
{
    if (bytes.size() < 10)
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
// the file it names, with that file's suffix and in pictureFolder where its own relative
// references lead.
// Empty for anything the SVG loader would not load; false when a named file is too large to
// be measured.
bool referencedPicture(const QString &reference, const QString &folder, QByteArray *picture,
    QString *pictureFolder, QString *suffix)
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
    // An SVG loaded from a file resolves a relative name against that file's folder; one
    // parsed from memory (the reader's bytes, a data URI, a compressed file) against the
    // working folder.
    const QString path = !folder.isEmpty() && QUrl(value).isRelative()
        ? QDir(folder).absoluteFilePath(value)
        : value;
    QFile file(path);
    // A device such as /dev/zero never ends; the loader's own format check gives up on it.
    if (!file.exists() || !file.open(QIODevice::ReadOnly) || file.isSequential())
        return true;
    if (file.size() > maximumReferencedFile)
        return false;
    *picture = file.readAll();
    *suffix = QFileInfo(path).suffix();
    // The loader parses a compressed SVG from memory, a plain one from the file.
    if (!isGzip(*picture))
        *pictureFolder = QFileInfo(path).absolutePath();
    return true;
}

// What the decoder of a progressive JPEG holds besides the picture: every DCT coefficient of
// the whole image, 2 bytes each, which the later scans refine. 0 for a baseline JPEG.
quint64 progressiveJpegCoefficients(const QByteArray &bytes)
{
    const auto byte = [&bytes](int at) { return quint8(bytes[at]); };
    const auto word = [&bytes](int at) { return qFromBigEndian<quint16>(bytes.constData() + at); };
    if (bytes.size() < 4 || byte(0) != 0xff || byte(1) != 0xd8)
        return 0;
    int at = 2;
    while (at + 4 <= bytes.size() && byte(at) == 0xff) {
        const quint8 marker = byte(at + 1);
        if (marker == 0xff) { // fill byte
            ++at;
            continue;
        }
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8
            && marker != 0xcc;
        if (marker == 0xda || (frame && (marker & 0x03) != 0x02))
            return 0; // a scan before any frame, or a frame that is not progressive
        if (frame) {
            const int components = at + 10 <= bytes.size() ? byte(at + 9) : 0;
            if (at + 10 + 3 * components > bytes.size())
                return 0;
            const quint64 height = word(at + 5);
            const quint64 width = word(at + 7);
            quint64 hMax = 1;
            quint64 vMax = 1;
            for (int c = 0; c < components; ++c) {
                hMax = qMax<quint64>(hMax, byte(at + 11 + 3 * c) >> 4);
                vMax = qMax<quint64>(vMax, byte(at + 11 + 3 * c) & 0x0f);
            }
            // Blocks of 64 coefficients per component, rounded up to whole sampling units.
            const auto blocks = [](quint64 pixels, quint64 factor, quint64 largest) {
                const quint64 count = (pixels * factor + largest * 8 - 1) / (largest * 8);
                return (count + factor - 1) / qMax<quint64>(1, factor) * factor;
            };
            quint64 total = 0;
            for (int c = 0; c < components; ++c) {
                const quint64 h = byte(at + 11 + 3 * c) >> 4;
                const quint64 v = byte(at + 11 + 3 * c) & 0x0f;
                total += blocks(width, h, hMax) * blocks(height, v, vMax) * 64 * 2;
            }
            return total;
        }
        at += 2 + word(at + 2);
    }
    return 0;
}

// The canvas of an extended WebP file that marks itself animated, QSize() for any other.
// Its decoder draws each frame, at most the canvas in size, onto a canvas of its own; Qt 6's
// decoder makes that canvas as soon as it is asked for the size, so the size is read here.
QSize animatedWebpCanvas(const QByteArray &bytes)
{
    constexpr char animationFlag = 0x02;
    if (bytes.size() < 30 || !bytes.startsWith("RIFF") || bytes.mid(8, 8) != "WEBPVP8X"
        || !(bytes[20] & animationFlag))
        return QSize();
    const auto side = [&bytes](int at) {
        return int(quint8(bytes[at]) | quint8(bytes[at + 1]) << 8 | quint8(bytes[at + 2]) << 16)
            + 1;
    };
    return QSize(side(24), side(27));
}

} // namespace

quint64 VlImageMeasure::decodedBytes(
    const QByteArray &bytes, quint64 limit, const QSize &fitInto, const QByteArray &format)
{
    return measure(bytes, limit, 0, QString(), format, fitInto);
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

QByteArray VlImageMeasure::decoderFormat(const QByteArray &bytes, const QString &suffix)
{
    QByteArray copy(bytes);
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader byContent(&buffer);
    byContent.setDecideFormatFromContent(true);
    const QByteArray shown = byContent.format();
    const QByteArray named = suffix.toLower().toLatin1();
    if (named.isEmpty() || named == shown || !QImageReader::supportedImageFormats().contains(named))
        return shown;
    buffer.seek(0);
    QImageReader byName(&buffer, named);
    byName.setAutoDetectImageFormat(false);
    return byName.canRead() ? named : shown;
}

quint64 VlImageMeasure::measure(const QByteArray &bytes, quint64 limit, int depth,
    const QString &folder, const QByteArray &decoder, const QSize &fitInto)
{
    if (depth > maximumDepth)
        return unbounded;
    QByteArray copy(bytes);
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    const QByteArray format = decoder.isEmpty() ? decoderFormat(bytes, QString()) : decoder;
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);

    // An MNG stream declares no size its decoder keeps to: every image it defines is held
    // as an object of its own size, and frames are composed from them. Nothing short of
    // decoding tells what that costs.
    if (format == "mng")
        return unbounded;
    if (format == "icns")
        return icnsBytes(bytes, limit, depth);
    quint64 total = 0;
    // Asking an SVG for its size parses it, which decodes its embedded pictures: they are
    // measured first.
    if (format.startsWith("svg")) {
        total = svgEmbeddedBytes(bytes, limit, depth, folder);
        if (!fits(total, limit))
            return unbounded;
    }
    const QSize canvas = format == "webp" ? animatedWebpCanvas(bytes) : QSize();
    QSize declared = canvas.isValid() ? canvas : reader.size();
    if (format.startsWith("svg") && !fitInto.isEmpty() && !declared.isEmpty())
        declared = declared.scaled(fitInto, Qt::KeepAspectRatio);
    if (format == "gif")
        declared = declared.expandedTo(gifScreenSize(bytes));
    if (format == "ico" || format == "cur") {
        const quint64 entry = iconEntryBytes(bytes, limit, depth);
        if (entry > 0)
            return entry;
    }
    quint64 pictures = imageBytes(declared, reader.imageFormat());
    if (format == "jpeg" || format == "jpg")
        total = saturatingAdd(total, progressiveJpegCoefficients(bytes));
    if (format == "webp") {
        // The decoder keeps a copy of the whole file while it decodes.
        total = saturatingAdd(total, quint64(bytes.size()));
        if (canvas.isValid())
            pictures = saturatingAdd(pictures, imageBytes(canvas, QImage::Format_ARGB32));
    }
    return saturatingAdd(total, pictures);
}

quint64 VlImageMeasure::svgEmbeddedBytes(
    const QByteArray &bytes, quint64 limit, int depth, const QString &folder)
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
            QString pictureFolder;
            QString suffix;
            if (!referencedPicture(
                    attribute.value().toString(), folder, &picture, &pictureFolder, &suffix))
                return unbounded;
            if (!picture.isEmpty()) {
                total = saturatingAdd(total,
                    measure(
                        picture, limit, depth + 1, pictureFolder, decoderFormat(picture, suffix)));
            }
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
    return saturatingAdd(buffer, measure(data, limit, depth + 1, QString(), QByteArray()));
}

quint64 VlImageMeasure::icnsBytes(const QByteArray &bytes, quint64 limit, int depth)
{
    // An icon set declares no size. Its decoder decodes one entry, and which one depends on
    // how it walks the table of contents and the blocks, so every entry is measured and the
    // largest counts. Entry lengths are taken as the decoder takes them: a table of contents
    // is not checked against the file, and a length below the 8-byte header wraps around.
    constexpr int headerSize = 8;
    constexpr quint32 maximumSide = 4096; // the decoder's own bound on a raw entry
    const QByteArray pngMagic("\x89PNG\r\n\x1a\n\0\0\0\r", 12);
    const QByteArray jp2Magic("\0\0\0\x0cjP  \r\n\x87\n", 12);
    const qint64 size = bytes.size();
    const auto word
        = [&bytes](qint64 at) { return qFromBigEndian<quint32>(bytes.constData() + at); };
    const auto tag = [](const char *name) { return qFromBigEndian<quint32>(name); };

    quint64 largest = 0;
    const auto entry = [&](qint64 offset, quint32 length) {
        const quint32 dataLength = length - headerSize;
        const QByteArray magic
            = offset < size ? bytes.mid(int(offset), pngMagic.size()) : QByteArray();
        quint64 bytesOfEntry;
        if (magic == pngMagic || magic == jp2Magic) {
            // A compressed entry is first read into a buffer of its declared length, then
            // decoded to whatever its own header declares.
            const QByteArray data
                = bytes.mid(int(offset), int(qMin<qint64>(dataLength, size - offset)));
            bytesOfEntry = saturatingAdd(
                dataLength, measure(data, limit, depth + 1, QString(), QByteArray()));
        } else {
            // A raw entry's side follows from its length and depth; at one bit a pixel it has
            // the most pixels. The decoder makes the icon, its mask and the masked result.
            const quint64 pixels
                = qMin<quint64>(quint64(dataLength) * 8, maximumSide * maximumSide);
            bytesOfEntry = 3 * imageBytes(QSize(int(pixels), 1), QImage::Format_ARGB32);
        }
        largest = qMax(largest, bytesOfEntry);
        return fits(largest, limit);
    };

    qint64 at = headerSize;
    while (at + headerSize <= size) {
        const quint32 type = word(at);
        const quint32 length = word(at + 4);
        const qint64 data = at + headerSize;
        const qint64 next = at + qMax<qint64>(headerSize, length);
        if (type == tag("TOC ")) {
            // Entries follow the table in its order, each after its own header.
            qint64 offset = next + headerSize;
            for (qint64 item = data; item + headerSize <= qMin<qint64>(next, size);
                 item += headerSize) {
                if (!entry(offset, word(item + 4)))
                    return unbounded;
                offset += word(item + 4);
            }
        } else if (type == tag("tile") || type == tag("over") || type == tag("open")
            || type == tag("drop") || type == tag("odrp")) {
            // A container of variant entries.
            for (qint64 item = data; item + headerSize <= qMin<qint64>(next, size);
                 item += qMax<qint64>(headerSize, word(item + 4))) {
                if (!entry(item + headerSize, word(item + 4)))
                    return unbounded;
            }
        } else if (type != tag("icnV") && type != tag("clut") && type != tag("icns")) {
            if (!entry(data, length))
                return unbounded;
        }
        at = next;
    }
    return largest;
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
