#ifndef VELA_VLPDF_P_H
#define VELA_VLPDF_P_H

// Not installed: lets the content reader's render process load the very PDFium file its
// parent resolved, wherever the render program itself is installed.

#include "vlpdf_export.h"

#include <QSize>
#include <QString>

QT_BEGIN_NAMESPACE
class QImage;
QT_END_NAMESPACE

namespace Vela {

class VlPdf;

// The PDFium file this process loads, or would load on first use.
VLPDF_EXPORT QString vlPdfRendererPath();
// Loads PDFium from path instead of the folder beside the application. Only takes effect
// before the first VlPdf object of the process is made.
VLPDF_EXPORT void vlPdfSetRendererPath(const QString &path);
// Draws page pageIndex, fitted into size as render() fits it, straight onto opaque white in
// canvas, a 32-bit image of exactly that fitted size (in memory the caller may share with
// another process). Drawing onto white saves the content reader a page-sized allocation and
// a composite per page, about as long as the drawing itself. False, with canvas untouched,
// when no document is open, the page cannot be loaded or the sizes differ.
VLPDF_EXPORT bool vlPdfRenderOntoWhite(
    VlPdf &pdf, int pageIndex, const QSize &size, QImage *canvas);

} // namespace Vela

#endif
