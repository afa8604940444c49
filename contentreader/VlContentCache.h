#ifndef VELA_VLCONTENTCACHE_H
#define VELA_VLCONTENTCACHE_H

#include "VlContentPage.h"
#include "vlcontentreader_qtcompat_p.h"

#include <QDateTime>
#include <QImage>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QRecursiveMutex>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QThread;
class tst_VlContentCache;
class tst_VlContentCacheCorrector;

namespace Vela {

class VlContentCacheCorrector;

// The process-wide store of every image the reader produced, by uri, page and size key.
//
// Threads: the cache and its corrector live in the thread that constructed the cache (instance()
// moves them to homeThread(), for the reader its own thread), and the corrector's slots and
// maintenance calls run there (that thread needs an event loop). The corrector thread only
// runs an empty event loop whose start and end switch the corrector on and off. Worker threads call
// insert, setPageCount and contains; the facade's callers call the getters. Lock order: contents
// lock before total-bytes lock.
class VlContentCache : public QObject
{
    Q_OBJECT
public:
    class ImageInfo
    {
    public:
        QString uri;
        QString hash;
        int pageCount = 1;
        QMap<int, std::shared_ptr<VlContentPage>> pages;
    };

    explicit VlContentCache(QObject *parent);
    ~VlContentCache() override;

    VlContentCache(const VlContentCache &) = delete;
    VlContentCache &operator=(const VlContentCache &) = delete;

    // The process-wide instance, created without parent on the first call.
    static VlContentCache *instance();
    // The process-wide instance if instance() has made it, else null; never creates it.
    static VlContentCache *createdInstance();
    // Where the cache and its corrector live: the thread given to setHomeThread() (the
    // reader's own), else the application's thread, or the calling thread when there is no
    // application object.
    static QThread *homeThread();
    // Gives the cache made from now on its home; the reader sets its own thread before any
    // of its calls can make the cache.
    static void setHomeThread(QThread *thread);

    // Lower-case hexadecimal SHA-1 of a file, read in 512 KiB chunks; empty when the file is
    // missing or unreadable. With processEvents the calling thread's events run after each
    // chunk, which only the cache's own thread may allow (a worker would re-enter itself).
    static QString fileDigest(const QString &path, bool processEvents);
    // The same digest of bytes already in memory.
    static QString bytesDigest(const QByteArray &bytes);

    // digest, when given, is the digest of the bytes the image or page count was made from;
    // a new record takes it instead of hashing the file, which may have been replaced since
    // those bytes were read. Without it the file is hashed. An existing record keeps its
    // digest either way.
    void insert(std::shared_ptr<QImage> image, const QString &uri, int pageIndex,
        const QSize &requestedSize, const QString &digest = QString());
    void setPageCount(const QString &uri, int pageCount, const QString &digest = QString());
    // The same, with the digest of a new record asked from digestOf (without the contents
    // lock) and only when a record is made: a caller that holds the bytes need not hash
    // them for a content the cache knows, and still records their digest if the record went
    // meanwhile.
    using DigestSource = std::function<QString()>;
    void insert(std::shared_ptr<QImage> image, const QString &uri, int pageIndex,
        const QSize &requestedSize, const DigestSource &digestOf);
    void setPageCount(const QString &uri, int pageCount, const DigestSource &digestOf);
    bool contains(const QString &uri, int pageIndex) const;
    // Whether the page holds an image under the size key of requestedSize.
    bool contains(const QString &uri, int pageIndex, const QSize &requestedSize) const;
    std::shared_ptr<QImage> getImage(const QString &uri, int pageIndex);
    std::shared_ptr<QImage> getImageLarge(
        const QString &uri, int pageIndex, const QSize &requestedSize);
    int getContentPageCount(const QString &uri) const;
    quint64 getCachedSize() const;

    quint64 getMaximumCacheSize() const;
    void setMaximumCacheSize(quint64 bytes);
    int getMaximumImageCount() const;
    void setMaximumImageCount(int count);
    int getMinimumImageCount() const;
    void setMinimumImageCount(int count);

    VlContentCacheCorrector *cacheCorrector() const;

public slots:
    void getImageCount(int *count);
    void getTotalBytes(unsigned long long *bytes);
    void getOldestTime(
        QDateTime *usedTime, QString *uri, int *pageIndex, QSize *requestedSize, bool *valid);
    void removeImage(QString uri, int pageIndex, QSize requestSize);
    void clearAll();
    void removeUriIfNotMatchHash(QString uri, QString hash);
    void getUriList(QStringList *list);
    // Removes the least recently used images, oldest first (ties in uri, page and size-key
    // order), while more than keepCount remain and, unless byteLimit is 0, the byte total is
    // at least byteLimit. The new total is announced once.
    void removeOldestImages(int keepCount, unsigned long long byteLimit);

signals:
    void totalBytesChanged(qulonglong total);

private:
    friend class ::tst_VlContentCache;
    friend class ::tst_VlContentCacheCorrector;

    // The page that getImage, getImageLarge and contains look at; null when there is none.
    std::shared_ptr<VlContentPage> resolvedPage(const QString &uri, int pageIndex) const;
    // The record of uri, made when there is none, with the contents lock held through
    // contentsLocker on return. A new record takes digestOf() (or the file's digest without
    // it), computed with the lock released.
    std::shared_ptr<ImageInfo> lockedRecord(
        const QString &uri, const DigestSource &digestOf, RecursiveMutexLocker &contentsLocker);
    // Stores a new byte total and announces it when it changed; the caller holds the
    // contents lock, so that totals are stored in the order of the changes they count.
    void storeTotalBytes(quint64 total);

    QMap<QString, std::shared_ptr<ImageInfo>> contents;
    mutable QRecursiveMutex contentsLock;
    quint64 totalBytes = 0;
    mutable QRecursiveMutex totalBytesLock;
    QPointer<QThread> correctorThread;
    QPointer<VlContentCacheCorrector> corrector;
};

} // namespace Vela

#endif
