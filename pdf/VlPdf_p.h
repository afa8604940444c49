#ifndef VELA_VLPDF_P_H
#define VELA_VLPDF_P_H

// Not installed: lets the content reader's render process load the very PDFium file its
// parent resolved, wherever the render program itself is installed.

#include "vlpdf_export.h"

#include <QString>

namespace Vela {

// The PDFium file this process loads, or would load on first use.
VLPDF_EXPORT QString vlPdfRendererPath();
// Loads PDFium from path instead of the folder beside the application. Only takes effect
// before the first VlPdf object of the process is made.
VLPDF_EXPORT void vlPdfSetRendererPath(const QString &path);

} // namespace Vela

#endif
