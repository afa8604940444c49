#ifndef VLCORE_EXPORT_H
#define VLCORE_EXPORT_H

#include <QtCore/qglobal.h>

#if defined(VLCORE_LIBRARY)
#define VLCORE_EXPORT Q_DECL_EXPORT
#else
#define VLCORE_EXPORT Q_DECL_IMPORT
#endif

#endif
