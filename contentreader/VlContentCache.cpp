#include "VlContentCache.h"

#include "VlContentCacheCorrector.h"
#include "VlSha1.h"

#include <VlExtension.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <vector>

namespace Vela {

namespace {

constexpr qint64 digestChunkSize = 524288;

std::atomic<VlContentCache *> createdCache {nullptr};
std::atomic<QThread *> givenHome {nullptr};

bool isImage(const QString &uri)
{
    static const VlExtension extension;
    return extension.getMediaType(QFileInfo(uri).suffix()) == MediaType::image;
}

quint64 bytesOf(const std::shared_ptr<QImage> &image)
{
    return image ? quint64(image->sizeInBytes()) : 0;
}

QDateTime farFuture()
{
    return QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::LocalTime);
}

VlContentCache::DigestSource givenDigest(const QString &digest)
{
    if (digest.isEmpty())
        return nullptr;
    return [digest] { return digest; };
}

} // namespace

VlContentCache::VlContentCache(QObject *parent)
    : QObject(parent)
{
    corrector = new VlContentCacheCorrector(nullptr);
    connect(corrector, &VlContentCacheCorrector::s_clearAll, this, &VlContentCache::clearAll);
    connect(
        corrector, &VlContentCacheCorrector::s_getImageCount, this, &VlContentCache::getImageCount);
    connect(
        corrector, &VlContentCacheCorrector::s_getOldestTime, this, &VlContentCache::getOldestTime);
    connect(
        corrector, &VlContentCacheCorrector::s_getTotalBytes, this, &VlContentCache::getTotalBytes);
    connect(corrector, &VlContentCacheCorrector::s_removeImage, this, &VlContentCache::removeImage);
    connect(corrector, &VlContentCacheCorrector::s_getUriList, this, &VlContentCache::getUriList);
    connect(corrector, &VlContentCacheCorrector::s_removeUriIfNotMatchHash, this,
        &VlContentCache::removeUriIfNotMatchHash);
    connect(corrector, &VlContentCacheCorrector::s_removeOldestImages, this,
        &VlContentCache::removeOldestImages);
    connect(this, &VlContentCache::totalBytesChanged, corrector,
        &VlContentCacheCorrector::onCacheTotalBytesChanged, Qt::QueuedConnection);

    correctorThread = new QThread(nullptr);
    connect(correctorThread, &QThread::started, corrector,
        &VlContentCacheCorrector::startUnlessStopped);
    connect(correctorThread, &QThread::finished, corrector, &VlContentCacheCorrector::stop);
    connect(correctorThread, &QThread::finished, corrector, &QObject::deleteLater);
    connect(corrector, &QObject::destroyed, correctorThread, &QObject::deleteLater);
    correctorThread->start(QThread::InheritPriority);
}

VlContentCache::~VlContentCache()
{
    if (correctorThread) {
        correctorThread->quit();
        correctorThread->wait();
        // The thread's end would delete the corrector and then the thread through queued
        // calls, which never run when the event loop stops right after quit(). Both go here
        // instead, unless the cache is being deleted from inside one of the corrector's own
        // passes; then the queued deletions finish the job once the pass has returned.
        if (corrector && !corrector->isInPass()) {
            delete corrector;
            delete correctorThread;
        }
    }
    if (createdCache.load() == this)
        createdCache.store(nullptr);
}

VlContentCache *VlContentCache::instance()
{
    static VlContentCache *const cache = [] {
        auto *created = new VlContentCache(nullptr);
        // Made in a thread that may end (a loader thread, a pool job), the corrector would
        // never run again; the objects move while nothing else knows them.
        QThread *home = homeThread();
        if (home != QThread::currentThread()) {
            created->corrector->moveToThread(home);
            created->correctorThread->moveToThread(home);
            created->moveToThread(home);
        }
        createdCache.store(created);
        return created;
    }();
    return cache;
}

QThread *VlContentCache::homeThread()
{
    if (QThread *home = givenHome.load())
        return home;
    QCoreApplication *application = QCoreApplication::instance();
    return application ? application->thread() : QThread::currentThread();
}

void VlContentCache::setHomeThread(QThread *thread)
{
    givenHome.store(thread);
}

VlContentCache *VlContentCache::createdInstance()
{
    return createdCache.load();
}

QString VlContentCache::fileDigest(const QString &path, bool processEvents)
{
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return QString();
    VlSha1 hash;
    QByteArray chunk(int(digestChunkSize), Qt::Uninitialized);
    while (!file.atEnd()) {
        const qint64 got = file.read(chunk.data(), digestChunkSize);
        if (file.error() != QFileDevice::NoError || got < 0) {
            file.close();
            return QString();
        }
        hash.addData(chunk.constData(), got);
        if (processEvents)
            QCoreApplication::processEvents();
        if (got == 0)
            break; // a device that claims more data but delivers none would loop forever
    }
    file.close();
    return QString::fromLatin1(hash.result().toHex());
}

QString VlContentCache::bytesDigest(const QByteArray &bytes)
{
    return QString::fromLatin1(VlSha1::hash(bytes).toHex());
}

void VlContentCache::storeTotalBytes(quint64 total)
{
    QMutexLocker totalLocker(&totalBytesLock);
    if (total == totalBytes)
        return;
    totalBytes = total;
    // Emitted under both locks so that receivers see the totals in the order they were
    // stored; the only connection is queued, so no receiver code runs inside the locks.
    emit totalBytesChanged(total);
}

void VlContentCache::insert(std::shared_ptr<QImage> image, const QString &uri, int pageIndex,
    const QSize &requestedSize, const QString &digest)
{
    insert(std::move(image), uri, pageIndex, requestedSize, givenDigest(digest));
}

std::shared_ptr<VlContentCache::ImageInfo> VlContentCache::lockedRecord(
    const QString &uri, const DigestSource &digestOf, RecursiveMutexLocker &contentsLocker)
{
    if (auto record = contents.value(uri))
        return record;
    // Hashing a large file takes long, so it runs without the contents lock; a record made
    // meanwhile by another thread is used as found.
    contentsLocker.unlock();
    const QString digest
        = digestOf ? digestOf() : fileDigest(uri, QThread::currentThread() == thread());
    contentsLocker.relock();
    auto &record = contents[uri];
    if (!record) {
        record = std::make_shared<ImageInfo>();
        record->uri = uri;
        record->hash = digest;
    }
    return record;
}

void VlContentCache::insert(std::shared_ptr<QImage> image, const QString &uri, int pageIndex,
    const QSize &requestedSize, const DigestSource &digestOf)
{
    const QString key = VlContentPage::sizeKey(requestedSize);
    RecursiveMutexLocker contentsLocker(&contentsLock);
    const auto record = lockedRecord(uri, digestOf, contentsLocker);

    quint64 total;
    {
        QMutexLocker totalLocker(&totalBytesLock);
        total = totalBytes;
    }
    auto &page = record->pages[pageIndex];
    if (!page)
        page = std::make_shared<VlContentPage>();
    auto &entry = page->images[key];
    if (entry)
        total -= entry->bytes; // replaced
    else
        entry = std::make_shared<VlContentPage::ImageInfo>();
    entry->image = std::move(image);
    entry->usedTime = QDateTime::currentDateTime();
    entry->bytes = bytesOf(entry->image);

    total += entry->bytes;
    storeTotalBytes(total);
}

void VlContentCache::setPageCount(const QString &uri, int pageCount, const QString &digest)
{
    setPageCount(uri, pageCount, givenDigest(digest));
}

void VlContentCache::setPageCount(const QString &uri, int pageCount, const DigestSource &digestOf)
{
    RecursiveMutexLocker contentsLocker(&contentsLock);
    lockedRecord(uri, digestOf, contentsLocker)->pageCount = pageCount;
}

std::shared_ptr<VlContentPage> VlContentCache::resolvedPage(const QString &uri, int pageIndex) const
{
    // Page 0 stays page 0 either way, which spares the media-type lookup in the common case.
    const bool image = pageIndex != 0 && isImage(uri);
    QMutexLocker contentsLocker(&contentsLock);
    const auto record = contents.value(uri);
    if (!record)
        return nullptr;
    int page = pageIndex;
    if (image)
        page = 0;
    else if (pageIndex == -1)
        page = record->pageCount - 1;
    return record->pages.value(page);
}

bool VlContentCache::contains(const QString &uri, int pageIndex) const
{
    QMutexLocker contentsLocker(&contentsLock);
    const auto page = resolvedPage(uri, pageIndex);
    return page && page->images.contains(VlContentPage::sizeKey(QSize()));
}

bool VlContentCache::contains(const QString &uri, int pageIndex, const QSize &requestedSize) const
{
    QMutexLocker contentsLocker(&contentsLock);
    const auto page = resolvedPage(uri, pageIndex);
    return page && page->images.contains(VlContentPage::sizeKey(requestedSize));
}

std::shared_ptr<QImage> VlContentCache::getImage(const QString &uri, int pageIndex)
{
    QMutexLocker contentsLocker(&contentsLock);
    const auto page = resolvedPage(uri, pageIndex);
    if (!page)
        return nullptr;
    const auto entry = page->images.value(VlContentPage::sizeKey(QSize()));
    if (!entry)
        return nullptr;
    entry->usedTime = QDateTime::currentDateTime();
    return entry->image;
}

std::shared_ptr<QImage> VlContentCache::getImageLarge(
    const QString &uri, int pageIndex, const QSize &requestedSize)
{
    QMutexLocker contentsLocker(&contentsLock);
    const auto page = resolvedPage(uri, pageIndex);
    if (!page)
        return nullptr;
    for (const auto &entry : qAsConst(page->images)) {
        const QImage *image = entry->image.get();
        if (image && image->width() >= requestedSize.width()
            && image->height() >= requestedSize.height()) {
            entry->usedTime = QDateTime::currentDateTime();
            return entry->image;
        }
    }
    return nullptr;
}

int VlContentCache::getContentPageCount(const QString &uri) const
{
    QMutexLocker contentsLocker(&contentsLock);
    const auto record = contents.value(uri);
    return record ? record->pageCount : 0;
}

quint64 VlContentCache::getCachedSize() const
{
    QMutexLocker totalLocker(&totalBytesLock);
    return totalBytes;
}

quint64 VlContentCache::getMaximumCacheSize() const
{
    return corrector ? corrector->getMaximumCacheSize() : 0;
}

void VlContentCache::setMaximumCacheSize(quint64 bytes)
{
    if (corrector)
        corrector->setMaximumCacheSize(bytes);
}

int VlContentCache::getMaximumImageCount() const
{
    return corrector ? corrector->getMaximumImageCount() : 0;
}

void VlContentCache::setMaximumImageCount(int count)
{
    if (corrector)
        corrector->setMaximumImageCount(count);
}

int VlContentCache::getMinimumImageCount() const
{
    return corrector ? corrector->getMinimumImageCount() : 0;
}

void VlContentCache::setMinimumImageCount(int count)
{
    if (corrector)
        corrector->setMinimumImageCount(count);
}

VlContentCacheCorrector *VlContentCache::cacheCorrector() const
{
    return corrector;
}

void VlContentCache::getImageCount(int *count)
{
    QMutexLocker contentsLocker(&contentsLock);
    int images = 0;
    for (const auto &record : qAsConst(contents)) {
        for (const auto &page : qAsConst(record->pages))
            images += page->images.size();
    }
    if (count)
        *count = images;
}

void VlContentCache::getTotalBytes(unsigned long long *bytes)
{
    QMutexLocker totalLocker(&totalBytesLock);
    if (bytes)
        *bytes = totalBytes;
}

void VlContentCache::getOldestTime(
    QDateTime *usedTime, QString *uri, int *pageIndex, QSize *requestedSize, bool *valid)
{
    QMutexLocker contentsLocker(&contentsLock);
    const QDateTime latest = farFuture();
    QDateTime bestTime = latest;
    QString bestUri;
    int bestPage = 0;
    QSize bestSize;
    bool found = false;

    // Strict comparisons throughout: among equal times the first met wins, in uri order,
    // then page order, then size-key order.
    for (auto record = contents.cbegin(); record != contents.cend(); ++record) {
        QDateTime recordTime = latest;
        int recordPage = 0;
        QSize recordSize;
        bool recordHasEntry = false;
        const auto &pages = record.value()->pages;
        for (auto page = pages.cbegin(); page != pages.cend(); ++page) {
            QDateTime pageTime = latest;
            QString pageKey;
            const auto &images = page.value()->images;
            for (auto entry = images.cbegin(); entry != images.cend(); ++entry) {
                if (entry.value()->usedTime < pageTime) {
                    pageTime = entry.value()->usedTime;
                    pageKey = entry.key();
                }
            }
            if (!images.isEmpty())
                recordHasEntry = true;
            if (pageTime < recordTime) {
                recordTime = pageTime;
                recordPage = page.key();
                recordSize = VlContentPage::sizeFromKey(pageKey);
            }
        }
        if (recordHasEntry && recordTime < bestTime) {
            bestTime = recordTime;
            bestUri = record.key();
            bestPage = recordPage;
            bestSize = recordSize;
            found = true;
        }
    }

    if (usedTime)
        *usedTime = bestTime;
    if (uri)
        *uri = bestUri;
    if (pageIndex)
        *pageIndex = bestPage;
    if (requestedSize)
        *requestedSize = bestSize;
    if (valid)
        *valid = found;
}

void VlContentCache::removeImage(QString uri, int pageIndex, QSize requestSize)
{
    QMutexLocker contentsLocker(&contentsLock);
    quint64 removed = 0;
    const auto record = contents.value(uri);
    if (record) {
        const auto page = record->pages.value(pageIndex);
        if (page) {
            const auto entry = page->images.take(VlContentPage::sizeKey(requestSize));
            if (entry)
                removed = entry->bytes;
        }
    }
    QMutexLocker totalLocker(&totalBytesLock);
    storeTotalBytes(totalBytes - removed);
}

void VlContentCache::clearAll()
{
    QMutexLocker contentsLocker(&contentsLock);
    contents = QMap<QString, std::shared_ptr<ImageInfo>>();
    storeTotalBytes(0);
}

void VlContentCache::removeUriIfNotMatchHash(QString uri, QString hash)
{
    QMutexLocker contentsLocker(&contentsLock);
    const auto record = contents.value(uri);
    if (!record || record->hash.compare(hash, Qt::CaseInsensitive) == 0)
        return;
    quint64 removed = 0;
    for (const auto &page : qAsConst(record->pages)) {
        for (const auto &entry : qAsConst(page->images))
            removed += entry->bytes;
    }
    contents.remove(uri);
    QMutexLocker totalLocker(&totalBytesLock);
    storeTotalBytes(totalBytes - removed);
}

void VlContentCache::removeOldestImages(int keepCount, unsigned long long byteLimit)
{
    struct Candidate
    {
        qint64 usedTime;
        VlContentPage *page;
        QString key;
    };

    QMutexLocker contentsLocker(&contentsLock);
    // Gathered in uri, page and key order; the stable sort keeps that order among equal times.
    std::vector<Candidate> candidates;
    for (const auto &record : qAsConst(contents)) {
        for (const auto &page : qAsConst(record->pages)) {
            for (auto entry = page->images.cbegin(); entry != page->images.cend(); ++entry)
                candidates.push_back(
                    {entry.value()->usedTime.toMSecsSinceEpoch(), page.get(), entry.key()});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
        [](const Candidate &a, const Candidate &b) { return a.usedTime < b.usedTime; });

    QMutexLocker totalLocker(&totalBytesLock);
    quint64 total = totalBytes;
    qint64 count = qint64(candidates.size());
    for (const Candidate &candidate : candidates) {
        if (count <= keepCount || (byteLimit != 0 && total < byteLimit))
            break;
        const auto entry = candidate.page->images.take(candidate.key);
        total -= entry ? entry->bytes : 0;
        --count;
    }
    storeTotalBytes(total);
}

void VlContentCache::getUriList(QStringList *list)
{
    QMutexLocker contentsLocker(&contentsLock);
    if (list)
        *list = contents.keys();
}

} // namespace Vela
