#ifndef VELA_VLFLATPAGE_H
#define VELA_VLFLATPAGE_H

// Not installed: the one way a drawn PDF page becomes the image the reader stores, shared by
// the reader's own thread and the render process.

#include <QImage>

namespace Vela {

class VlFlatPage
{
public:
    // Paints rendered onto white in canvas, which has the rendered page's size and the
    // format QImage::Format_ARGB32_Premultiplied. PDFium leaves the page's background
    // transparent; content is shown as printed, on white. Every pixel of the result is
    // opaque, where premultiplied and straight alpha are the same bytes, so the painting runs
    // on the premultiplied format, which QPainter blends about twice as fast, and the caller
    // may label the result with the page's own format.
    static void paintOntoWhite(const QImage &rendered, QImage *canvas);
};

} // namespace Vela

#endif
