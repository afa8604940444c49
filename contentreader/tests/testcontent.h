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

} // namespace TestContent

#endif
