#ifndef VELA_VLIMAGEMEASURE_H
#define VELA_VLIMAGEMEASURE_H

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace Vela {

// What decoding a still image will really allocate, found from its bytes before anything is
// decoded. The size an image reader declares is not always what its decoder allocates: a GIF
// decodes to its whole logical screen, an icon entry may hold a PNG of any size and a bitmap
// entry decodes to 32 bits a pixel whatever depth its directory gives, and an SVG
// decodes every raster picture it embeds while its size is only being asked for, an Apple
// icon set and an MNG animation declare no size at all, and an animated WebP is drawn on a
// canvas besides its frame.
class VlImageMeasure
{
public:
    // The bytes of the pictures that decoding these bytes allocates, at least; the largest
    // quint64 when that cannot be told safely (nesting too deep, a compressed SVG that
    // inflates without end) or once it is clear that they exceed limit, before anything is
    // decoded to measure further. An image whose size is not known before decoding counts as
    // nothing and is left to its decoder. With a non-empty fitInto an SVG counts as drawn to
    // fit within it, aspect kept, as a reader that sets that scaled size draws it. format is
    // the one the decoder will use, as decoderFormat() gives it; empty for the one the
    // content shows.
    static quint64 decodedBytes(const QByteArray &bytes, quint64 limit,
        const QSize &fitInto = QSize(), const QByteArray &format = QByteArray());
    // The format to decode these bytes with: the one their content shows, unless the content
    // also fits the format that the file's suffix names. A TGA has no signature, and its
    // first bytes pass for an icon directory. Empty when no decoder takes the bytes.
    static QByteArray decoderFormat(const QByteArray &bytes, const QString &suffix);
    // The bytes of a picture of this size in this format (32 bits per pixel when the format
    // is not known); 0 for an invalid or empty size, the largest quint64 when it overflows.
    static quint64 imageBytes(const QSize &size, QImage::Format format);

    // True when bytes fit in limit; a measure that could not be told never fits.
    static bool fits(quint64 bytes, quint64 limit);

private:
    // folder is where the decoder resolves a relative file name found in these bytes: the
    // folder of the SVG file they were loaded from by name, or empty for the working folder.
    // format is the decoder's, empty for the one the content shows.
    static quint64 measure(const QByteArray &bytes, quint64 limit, int depth, const QString &folder,
        const QByteArray &format, const QSize &fitInto = QSize());
    static quint64 svgEmbeddedBytes(
        const QByteArray &bytes, quint64 limit, int depth, const QString &folder);
    static quint64 iconEntryBytes(const QByteArray &bytes, quint64 limit, int depth);
    static quint64 icnsBytes(const QByteArray &bytes, quint64 limit, int depth);
    static quint64 bitmapEntryBytes(const QByteArray &bytes, const char *entry, quint32 offset);
};

} // namespace Vela

#endif
