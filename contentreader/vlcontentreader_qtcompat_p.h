#ifndef VLCONTENTREADER_QTCOMPAT_P_H
#define VLCONTENTREADER_QTCOMPAT_P_H

// The few places where Qt 5 and Qt 6 offer no common spelling. Internal to the content reader.

#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QtGlobal>

namespace Vela {

// Qt 6 made QMutexLocker a template over the mutex type; a locker passed by reference must
// name it.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
using RecursiveMutexLocker = QMutexLocker<QRecursiveMutex>;
#else
using RecursiveMutexLocker = QMutexLocker;
#endif

} // namespace Vela

#endif
