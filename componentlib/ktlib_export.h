#ifndef KTLIB_EXPORT_H
#define KTLIB_EXPORT_H

#include <QtCore/qglobal.h>

#if defined(KTLIB_LIBRARY)
#define KTLIB_EXPORT Q_DECL_EXPORT
#else
#define KTLIB_EXPORT Q_DECL_IMPORT
#endif

#endif
