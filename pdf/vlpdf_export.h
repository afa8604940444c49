#ifndef VLPDF_EXPORT_H
#define VLPDF_EXPORT_H

#include <QtCore/qglobal.h>

#if defined(VLPDF_LIBRARY)
#define VLPDF_EXPORT Q_DECL_EXPORT
#else
#define VLPDF_EXPORT Q_DECL_IMPORT
#endif

#endif
