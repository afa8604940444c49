#ifndef VELA_VLEXCLUSIVELOCKER_H
#define VELA_VLEXCLUSIVELOCKER_H

#include "vlpdf_export.h"

#include <QList>
#include <QObject>
#include <QRecursiveMutex>
#include <QString>

namespace Vela {

// A process-wide registry of named locks. A key (in practice a document path) is held or
// free; keys compare exactly and case-sensitively. The registry does not know who holds a
// key: anyone may release it.
class VLPDF_EXPORT VlExclusiveLocker : public QObject
{
    Q_OBJECT

public:
    // Takes the key on construction without waiting, whether or not it was free, and releases
    // it on destruction, so a Locker nested inside another on the same key ends the outer
    // hold too.
    class VLPDF_EXPORT Locker
    {
    public:
        explicit Locker(const QString &key);
        ~Locker();

        // A copy would release a key it never took.
        Locker(const Locker &) = delete;
        Locker &operator=(const Locker &) = delete;

        QString key() const;

    private:
        QString m_key;
    };

    static VlExclusiveLocker *instance();

    // True when this call took the key; false when it was already held. Never waits.
    static bool lock(const QString &key);
    static void unlock(const QString &key);
    // Polls until the key is taken, processing the calling thread's events (except user
    // input) between attempts. No time limit.
    static void waitUntilLock(const QString &key);

private:
    explicit VlExclusiveLocker(QObject *parent = nullptr);

    bool _lock(const QString &key);
    void _unlock(const QString &key);
    void _waitUntilLock(const QString &key);

    QRecursiveMutex m_mutex;
    QList<QString> m_keys;
};

} // namespace Vela

#endif
