#include "VlDecodeRefusals.h"

#include <QMutex>
#include <QMutexLocker>
#include <QPair>
#include <QSet>

namespace Vela {

namespace {

// A player that never asks must not collect a record of every file it was ever refused.
constexpr int maximumRecords = 256;

using Key = QPair<QString, int>;

QMutex &lock()
{
    static QMutex mutex;
    return mutex;
}

QSet<Key> &records()
{
    static QSet<Key> refused;
    return refused;
}

} // namespace

bool VlDecodeRefusals::refusedForSize(const QString &uri, int pageIndex)
{
    QMutexLocker locker(&lock());
    return records().contains(qMakePair(uri, pageIndex));
}

void VlDecodeRefusals::record(const QString &uri, int pageIndex, bool refusedForSize)
{
    QMutexLocker locker(&lock());
    QSet<Key> &refused = records();
    if (!refusedForSize) {
        refused.remove(qMakePair(uri, pageIndex));
        return;
    }
    if (refused.size() >= maximumRecords)
        refused.erase(refused.begin());
    refused.insert(qMakePair(uri, pageIndex));
}

} // namespace Vela
