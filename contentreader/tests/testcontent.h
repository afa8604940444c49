#ifndef VELA_TESTCONTENT_H
#define VELA_TESTCONTENT_H

// Content files made by the tests themselves.

#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QtEndian>

#include <zlib.h>

namespace TestContent {

// An image with some structure, so that lossy encoders have work to do.
inline QImage pattern(const QSize &size, QImage::Format format = QImage::Format_ARGB32)
{
    QImage image(size, format);
    image.fill(QColor(30, 90, 160, 255));
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 8; ++i) {
        painter.setBrush(QColor::fromHsv((i * 45) % 360, 200, 220, 128 + i * 16));
        painter.drawEllipse(QRect(i * size.width() / 10, i * size.height() / 12,
            size.width() / 3 + 1, size.height() / 3 + 1));
    }
    painter.end();
    return image;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

inline quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xffffffffu;
}

// A PNG whose header declares width x height RGBA pixels and that carries no pixel data.
inline QByteArray pngDeclaring(quint32 width, quint32 height)
{
    QByteArray ihdr("IHDR");
    char dims[8];
    qToBigEndian(width, dims);
    qToBigEndian(height, dims + 4);
    ihdr.append(dims, 8);
    ihdr.append(char(8)); // bit depth
    ihdr.append(char(6)); // RGBA
    ihdr.append(char(0)).append(char(0)).append(char(0));

    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    char word[4];
    qToBigEndian(quint32(ihdr.size() - 4), word);
    png.append(word, 4).append(ihdr);
    qToBigEndian(crc32(ihdr), word);
    png.append(word, 4);

    const QByteArray iend("IEND");
    qToBigEndian(quint32(0), word);
    png.append(word, 4).append(iend);
    qToBigEndian(crc32(iend), word);
    png.append(word, 4);
    return png;
}

// A GIF whose logical screen is width x height with a single 1x1 frame: a few dozen bytes
// that decode to a full width x height image, while the reader reports the frame's size.
inline QByteArray gifDeclaring(quint16 width, quint16 height)
{
    char word[2];
    QByteArray gif("GIF89a");
    qToLittleEndian(width, word);
    gif.append(word, 2);
    qToLittleEndian(height, word);
    gif.append(word, 2);
    gif.append("\x80\x00\x00", 3); // global palette of two colours
    gif.append("\xff\xff\xff\x00\x00\x00", 6);
    gif.append("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10); // 1x1 frame at 0,0
    gif.append("\x02\x02\x44\x01\x00", 5); // clear, colour 0, end
    gif.append('\x3b');
    return gif;
}

// The zlib stream of count zero bytes, made without holding them.
inline QByteArray deflatedZeros(quint64 count)
{
    z_stream stream = {};
    deflateInit(&stream, Z_BEST_COMPRESSION);
    static const char zeros[65536] = {};
    QByteArray out;
    char chunk[65536];
    int flush = Z_NO_FLUSH;
    do {
        const quint64 now = qMin<quint64>(count, sizeof(zeros));
        count -= now;
        flush = count == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros));
        stream.avail_in = uInt(now);
        do {
            stream.next_out = reinterpret_cast<Bytef *>(chunk);
            stream.avail_out = sizeof(chunk);
            deflate(&stream, flush);
            out.append(chunk, int(sizeof(chunk) - stream.avail_out));
        } while (stream.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&stream);
    return out;
}

inline QByteArray bigEndian32(quint32 value)
{
    char word[4];
    qToBigEndian(value, word);
    return QByteArray(word, 4);
}

inline QByteArray littleEndian(quint32 value, int bytes)
{
    char word[4];
    qToLittleEndian(value, word);
    return QByteArray(word, bytes);
}

// A PNG-style chunk: length, type, data, CRC.
inline QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    return bigEndian32(quint32(data.size())) + type + data + bigEndian32(crc32(type + data));
}

// The chunks of a complete transparent RGBA picture, from its header to its data.
inline QByteArray pngPictureChunks(quint32 width, quint32 height)
{
    const QByteArray header
        = bigEndian32(width) + bigEndian32(height) + QByteArray("\x08\x06\0\0\0", 5);
    return pngChunk("IHDR", header)
        + pngChunk("IDAT", deflatedZeros(quint64(height) * (1 + quint64(width) * 4)));
}

// A complete transparent RGBA PNG: every row is there, which deflate makes small.
inline QByteArray pngFilled(quint32 width, quint32 height)
{
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngPictureChunks(width, height)
        + pngChunk("IEND", QByteArray());
}

// A complete MNG of one frame holding the picture above.
inline QByteArray mngFilled(quint32 width, quint32 height)
{
    QByteArray header = bigEndian32(width) + bigEndian32(height);
    header += bigEndian32(1) + bigEndian32(1) + bigEndian32(1) + bigEndian32(1) + bigEndian32(1);
    return QByteArray("\x8aMNG\r\n\x1a\n", 8) + pngChunk("MHDR", header)
        + pngPictureChunks(width, height) + pngChunk("IEND", QByteArray())
        + pngChunk("MEND", QByteArray());
}

// A complete deflated RGB TIFF, one row per strip; every strip is the same zero row, stored
// once.
inline QByteArray tiffFilled(quint32 width, quint32 height)
{
    const QByteArray row = deflatedZeros(quint64(width) * 3);
    struct Entry
    {
        quint16 tag;
        quint16 type; // 3 short, 4 long
        quint32 count;
        quint32 value;
    };
    constexpr quint32 ifdAt = 8;
    constexpr int entries = 10;
    const quint32 bitsAt = ifdAt + 2 + entries * 12 + 4;
    const quint32 rowAt = bitsAt + 6;
    const quint32 offsetsAt = rowAt + quint32(row.size());
    const quint32 countsAt = offsetsAt + 4 * height;
    const Entry table[entries] = {{256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 3, bitsAt},
        {259, 3, 1, 8}, {262, 3, 1, 2}, {273, 4, height, offsetsAt}, {277, 3, 1, 3}, {278, 4, 1, 1},
        {279, 4, height, countsAt}, {284, 3, 1, 1}};
    QByteArray tiff("II*\0", 4);
    tiff += littleEndian(ifdAt, 4) + littleEndian(entries, 2);
    for (const Entry &entry : table) {
        tiff += littleEndian(entry.tag, 2) + littleEndian(entry.type, 2)
            + littleEndian(entry.count, 4) + littleEndian(entry.value, 4);
    }
    tiff += littleEndian(0, 4) + littleEndian(8, 2) + littleEndian(8, 2) + littleEndian(8, 2);
    tiff += row;
    for (quint32 i = 0; i < height; ++i)
        tiff += littleEndian(rowAt, 4);
    for (quint32 i = 0; i < height; ++i)
        tiff += littleEndian(quint32(row.size()), 4);
    return tiff;
}

// Lossless WebP image data of one opaque black colour: five one-symbol prefix codes, so
// that every pixel takes no bits at all and the data is complete in a few bytes.
inline QByteArray webpLosslessData(quint32 width, quint32 height)
{
    QByteArray data(1, '\x2f');
    quint64 bits = 0;
    int used = 0;
    const auto put = [&](quint32 value, int count) {
        bits |= quint64(value) << used;
        used += count;
        while (used >= 8) {
            data.append(char(bits & 0xff));
            bits >>= 8;
            used -= 8;
        }
    };
    put(width - 1, 14);
    put(height - 1, 14);
    put(0, 1); // alpha hint
    put(0, 3); // version
    put(0, 1); // no transform
    put(0, 1); // no colour cache
    put(0, 1); // no meta prefix codes
    for (int code = 0; code < 5; ++code) {
        const quint32 symbol = code == 3 ? 255 : 0; // alpha opaque
        put(1, 1); // simple code
        put(0, 1); // one symbol
        put(1, 1); // eight bits wide
        put(symbol, 8);
    }
    if (used > 0)
        put(0, 8 - used);
    return data;
}

inline QByteArray riffChunk(const QByteArray &type, const QByteArray &data)
{
    QByteArray chunk = type + littleEndian(quint32(data.size()), 4) + data;
    if (data.size() % 2)
        chunk.append('\0');
    return chunk;
}

inline QByteArray riffWebp(const QByteArray &chunks)
{
    return "RIFF" + littleEndian(quint32(chunks.size() + 4), 4) + "WEBP" + chunks;
}

// A complete lossless WebP of width x height pixels.
inline QByteArray webpFilled(quint32 width, quint32 height)
{
    return riffWebp(riffChunk("VP8L", webpLosslessData(width, height)));
}

// A complete animated WebP whose single frame covers its width x height canvas.
inline QByteArray webpAnimated(quint32 width, quint32 height)
{
    const QByteArray extended
        = QByteArray("\x02\0\0\0", 4) + littleEndian(width - 1, 3) + littleEndian(height - 1, 3);
    const QByteArray animation = littleEndian(0, 4) + littleEndian(0, 2);
    const QByteArray frame = littleEndian(0, 3) + littleEndian(0, 3) + littleEndian(width - 1, 3)
        + littleEndian(height - 1, 3) + littleEndian(100, 3) + QByteArray(1, '\0')
        + riffChunk("VP8L", webpLosslessData(width, height));
    return riffWebp(
        riffChunk("VP8X", extended) + riffChunk("ANIM", animation) + riffChunk("ANMF", frame));
}

// A complete progressive grey JPEG: one scan codes every block's DC coefficient as "no
// change" in a single bit; the scans that would refine the rest are left out, as a coarse
// progressive file may do.
inline QByteArray jpegProgressive(quint16 width, quint16 height)
{
    const auto segment = [](quint8 marker, const QByteArray &data) {
        return QByteArray(1, '\xff') + char(marker) + char((data.size() + 2) >> 8)
            + char((data.size() + 2) & 0xff) + data;
    };
    const auto big16 = [](quint16 value) { return QByteArray(1, char(value >> 8)) + char(value); };
    QByteArray jpeg("\xff\xd8", 2);
    jpeg += segment(0xdb, QByteArray(1, '\0') + QByteArray(64, '\x01'));
    jpeg += segment(0xc2, QByteArray(1, 8) + big16(height) + big16(width) + "\x01\x01\x11" + '\0');
    // One code of length 1 for category 0.
    jpeg += segment(0xc4, QByteArray(1, '\0') + '\x01' + QByteArray(15, '\0') + '\0');
    jpeg += segment(0xda, QByteArray("\x01\x01", 2) + QByteArray(4, '\0'));
    const quint64 blocks = quint64((width + 7) / 8) * quint64((height + 7) / 8);
    jpeg += QByteArray(int((blocks + 7) / 8), '\0');
    return jpeg + "\xff\xd9";
}

// An Apple icon set of one entry holding the given PNG.
inline QByteArray icnsHolding(const QByteArray &png)
{
    const QByteArray entry = "ic10" + bigEndian32(quint32(png.size() + 8)) + png;
    return "icns" + bigEndian32(quint32(entry.size() + 8)) + entry;
}

// An Apple icon set whose table of contents gives its one PNG entry the length declared.
inline QByteArray icnsDeclaring(quint32 entryLength)
{
    const QByteArray png = pngFilled(16, 16);
    const QByteArray toc = "TOC " + bigEndian32(16) + "ic10" + bigEndian32(entryLength);
    const QByteArray entry = "ic10" + bigEndian32(quint32(png.size() + 8)) + png;
    return "icns" + bigEndian32(quint32(8 + toc.size() + entry.size())) + toc + entry;
}

// An uncompressed 32-bit TGA, top row first, of the image's first rows (all by default): the
// format has no compression the decoder takes, so an over-limit picture comes cut short.
inline QByteArray tga(const QImage &image, int rows = -1)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    QByteArray tga(3, '\0');
    tga[2] = 2; // true colour, uncompressed
    tga += QByteArray(9, '\0') + littleEndian(quint32(argb.width()), 2)
        + littleEndian(quint32(argb.height()), 2);
    tga += QByteArray("\x20\x28", 2); // 32 bits, top-left origin, 8 alpha bits
    for (int y = 0; y < (rows < 0 ? argb.height() : rows); ++y) {
        for (int x = 0; x < argb.width(); ++x)
            tga += littleEndian(reinterpret_cast<const quint32 *>(argb.constScanLine(y))[x], 4);
    }
    return tga + QByteArray(8, '\0') + QByteArray("TRUEVISION-XFILE.\0", 18);
}

// A TGA header and footer declaring width x height, with one row of pixels.
inline QByteArray tgaDeclaring(quint16 width, quint16 height)
{
    QImage line(width, 1, QImage::Format_ARGB32);
    line.fill(Qt::transparent);
    QByteArray row = tga(line, 1);
    row[14] = char(height & 0xff);
    row[15] = char(height >> 8);
    return row;
}

// An SVG showing one picture by reference: a file name or a data URI.
inline QByteArray svgShowing(const QByteArray &reference)
{
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" "
           "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"16\" height=\"16\">"
           "<image width=\"16\" height=\"16\" xlink:href=\""
        + reference + "\"/></svg>";
}

inline QByteArray pngDataUri(const QByteArray &png)
{
    return "data:image/png;base64," + png.toBase64();
}

} // namespace TestContent

#endif
