#include "VlContentCache.h"
#include "VlContentCacheCorrector.h"
#include "VlContentPage.h"
#include "testcontent.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <future>
#include <thread>

using namespace Vela;

class tst_VlContentCache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void sizeKeyRoundTrip_data();
    void sizeKeyRoundTrip();
    void sizeFromMalformedKey_data();
    void sizeFromMalformedKey();

    void pageResolution_data();
    void pageResolution();
    void getImageLargeTakesFirstLargeEnoughKey_data();
    void getImageLargeTakesFirstLargeEnoughKey();
    void lookupsRefreshUsedTimeButContainsDoesNot();

    void replaceOnInsertCountsOnlyTheNewImage();
    void totalSurvivesImagesChangedByTheirHolder_data();
    void totalSurvivesImagesChangedByTheirHolder();
    void firstInsertCreatesRecordWithOnePage();
    void signalOnlyWhenTotalChanges();
    void setPageCountCreatesRecordWithoutBytes();
    void givenDigestOnlyForNewRecords_data();
    void givenDigestOnlyForNewRecords();

    void oldestOnEmptyCache();
    void oldestTieBreaking();
    void removeImageOfLastPageEntryKeepsRecord();
    void removeUriIfNotMatchHash_data();
    void removeUriIfNotMatchHash();

    void fileDigest_data();
    void fileDigest();
    void insertHashesOutsideContentsLock();

private:
    static std::shared_ptr<QImage> image(int width, int height)
    {
        return std::make_shared<QImage>(width, height, QImage::Format_ARGB32);
    }
    static void stamp(VlContentCache &cache, const QString &uri, int page, const QString &key,
        const QDateTime &time)
    {
        cache.contents.value(uri)->pages.value(page)->images.value(key)->usedTime = time;
    }

    QTemporaryDir dir;
};

void tst_VlContentCache::initTestCase()
{
    QVERIFY(dir.isValid());
}

void tst_VlContentCache::sizeKeyRoundTrip_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("key");

    QTest::newRow("natural") << QSize() << "-1x-1";
    QTest::newRow("800x600") << QSize(800, 600) << "800x600";
    QTest::newRow("zero") << QSize(0, 0) << "0x0";
    QTest::newRow("width only") << QSize(1920, -1) << "1920x-1";
}

void tst_VlContentCache::sizeKeyRoundTrip()
{
    QFETCH(QSize, size);
    QFETCH(QString, key);
    QCOMPARE(VlContentPage::sizeKey(size), key);
    QCOMPARE(VlContentPage::sizeFromKey(key), size);
}

void tst_VlContentCache::sizeFromMalformedKey_data()
{
    QTest::addColumn<QString>("key");

    QTest::newRow("empty") << "";
    QTest::newRow("one number") << "800";
    QTest::newRow("missing height") << "800x";
    QTest::newRow("missing width") << "x600";
    QTest::newRow("three parts") << "800x600x2";
    QTest::newRow("letters") << "axb";
    QTest::newRow("upper-case separator") << "800X600";
    QTest::newRow("hexadecimal") << "0x10x5";
}

void tst_VlContentCache::sizeFromMalformedKey()
{
    QFETCH(QString, key);
    QCOMPARE(VlContentPage::sizeFromKey(key), QSize());
}

void tst_VlContentCache::pageResolution_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<int>("pageCount");
    QTest::addColumn<int>("storedPage");
    QTest::addColumn<int>("askedPage");
    QTest::addColumn<bool>("found");

    QTest::newRow("image, page 3 is page 0") << "a.png" << 0 << 0 << 3 << true;
    QTest::newRow("image, page -1 is page 0") << "a.png" << 0 << 0 << -1 << true;
    QTest::newRow("image stored off page 0") << "a.png" << 0 << 2 << 2 << false;
    QTest::newRow("document, -1 is last page") << "d.pdf" << 5 << 4 << -1 << true;
    QTest::newRow("document, -1 misses page 0") << "d.pdf" << 5 << 0 << -1 << false;
    QTest::newRow("document, page as given") << "d.pdf" << 5 << 2 << 2 << true;
    QTest::newRow("document, other page") << "d.pdf" << 5 << 2 << 3 << false;
}

void tst_VlContentCache::pageResolution()
{
    QFETCH(QString, uri);
    QFETCH(int, pageCount);
    QFETCH(int, storedPage);
    QFETCH(int, askedPage);
    QFETCH(bool, found);

    VlContentCache cache(nullptr);
    const QString path = dir.filePath(uri);
    if (pageCount > 0)
        cache.setPageCount(path, pageCount);
    const auto stored = image(4, 3);
    cache.insert(stored, path, storedPage, QSize());

    QCOMPARE(cache.contains(path, askedPage), found);
    QCOMPARE(cache.getImage(path, askedPage), found ? stored : nullptr);
    QCOMPARE(cache.getImageLarge(path, askedPage, QSize()), found ? stored : nullptr);
    QVERIFY(!cache.contains(dir.filePath("unknown.png"), askedPage));
    QCOMPARE(cache.getImage(dir.filePath("unknown.pdf"), askedPage), nullptr);
}

void tst_VlContentCache::getImageLargeTakesFirstLargeEnoughKey_data()
{
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<int>("expectedWidth"); // 0: nothing qualifies

    // Keys in string order: "1920x1080" < "960x540" < "99x10".
    QTest::newRow("smaller than both") << QSize(800, 450) << 1920;
    QTest::newRow("natural size takes the first key") << QSize() << 1920;
    QTest::newRow("between the two") << QSize(1000, 600) << 1920;
    QTest::newRow("any width, small height") << QSize(-1, 10) << 1920;
    QTest::newRow("too wide for all") << QSize(2000, 10) << 0;
    QTest::newRow("too high for all") << QSize(10, 1200) << 0;
}

void tst_VlContentCache::getImageLargeTakesFirstLargeEnoughKey()
{
    QFETCH(QSize, requested);
    QFETCH(int, expectedWidth);

    VlContentCache cache(nullptr);
    const QString uri = dir.filePath("sizes.png");
    cache.insert(image(99, 10), uri, 0, QSize(99, 10));
    cache.insert(image(960, 540), uri, 0, QSize(960, 540));
    cache.insert(image(1920, 1080), uri, 0, QSize(1920, 1080));

    const auto got = cache.getImageLarge(uri, 0, requested);
    QCOMPARE(got ? got->width() : 0, expectedWidth);
    // Only the natural-size entry answers getImage.
    QCOMPARE(cache.getImage(uri, 0), nullptr);
}

void tst_VlContentCache::lookupsRefreshUsedTimeButContainsDoesNot()
{
    VlContentCache cache(nullptr);
    const QString uri = dir.filePath("time.png");
    cache.insert(image(2, 2), uri, 0, QSize());
    const QDateTime old = QDateTime::currentDateTime().addSecs(-3600);
    const QString key = VlContentPage::sizeKey(QSize());

    stamp(cache, uri, 0, key, old);
    QVERIFY(cache.contains(uri, 0));
    QCOMPARE(cache.contents.value(uri)->pages.value(0)->images.value(key)->usedTime, old);
    QVERIFY(cache.getImage(uri, 0));
    QVERIFY(cache.contents.value(uri)->pages.value(0)->images.value(key)->usedTime > old);

    stamp(cache, uri, 0, key, old);
    QVERIFY(cache.getImageLarge(uri, 0, QSize(1, 1)));
    QVERIFY(cache.contents.value(uri)->pages.value(0)->images.value(key)->usedTime > old);
}

void tst_VlContentCache::replaceOnInsertCountsOnlyTheNewImage()
{
    VlContentCache cache(nullptr);
    QSignalSpy totals(&cache, &VlContentCache::totalBytesChanged);
    const QString uri = dir.filePath("replace.png");
    const auto first = image(100, 100);
    const auto second = image(50, 10);

    cache.insert(first, uri, 0, QSize());
    cache.insert(image(7, 7), uri, 0, QSize(7, 7));
    cache.insert(second, uri, 0, QSize());

    int count = 0;
    cache.getImageCount(&count);
    QCOMPARE(count, 2);
    const quint64 expected = quint64(second->sizeInBytes()) + 7 * 7 * 4;
    QCOMPARE(cache.getCachedSize(), expected);
    QCOMPARE(totals.count(), 3);
    QCOMPARE(totals.last().at(0).toULongLong(), expected);
    QCOMPARE(cache.getImage(uri, 0), second);
    // The image the caller kept stays valid after the cache let go of it.
    QCOMPARE(first->width(), 100);
}

void tst_VlContentCache::totalSurvivesImagesChangedByTheirHolder_data()
{
    QTest::addColumn<QString>("removal");
    QTest::addColumn<QSize>("changedTo");

    for (const char *removal : {"removeImage", "insert", "removeUriIfNotMatchHash"}) {
        QTest::newRow(qPrintable(QString(removal) + ", grown"))
            << QString(removal) << QSize(400, 300);
        QTest::newRow(qPrintable(QString(removal) + ", shrunk")) << QString(removal) << QSize(2, 2);
    }
}

void tst_VlContentCache::totalSurvivesImagesChangedByTheirHolder()
{
    // getImage hands out a writable image; a host that scales it in place must not change
    // what the cache counted for it, or the total drifts and may wrap below zero.
    QFETCH(QString, removal);
    QFETCH(QSize, changedTo);

    VlContentCache cache(nullptr);
    const QString uri = dir.filePath("held.png");
    cache.insert(image(100, 100), uri, 0, QSize(), "digest");
    cache.insert(image(10, 10), uri, 0, QSize(10, 10));
    const quint64 other = 10 * 10 * 4;
    QCOMPARE(cache.getCachedSize(), 100 * 100 * 4 + other);

    const auto held = cache.getImage(uri, 0);
    *held = QImage(changedTo, QImage::Format_ARGB32);

    quint64 expected = other;
    if (removal == "removeImage") {
        cache.removeImage(uri, 0, QSize());
    } else if (removal == "insert") {
        cache.insert(image(20, 20), uri, 0, QSize());
        expected += 20 * 20 * 4;
    } else {
        cache.removeUriIfNotMatchHash(uri, "another digest");
        expected = 0;
    }
    QCOMPARE(cache.getCachedSize(), expected);
}

void tst_VlContentCache::firstInsertCreatesRecordWithOnePage()
{
    VlContentCache cache(nullptr);
    QSignalSpy totals(&cache, &VlContentCache::totalBytesChanged);
    const QString uri = dir.filePath("million.png");
    cache.insert(image(500, 500), uri, 0, QSize());

    QCOMPARE(totals.count(), 1);
    QCOMPARE(totals.at(0).at(0).toULongLong(), 1000000ull);
    QCOMPARE(cache.getContentPageCount(uri), 1);
    QCOMPARE(cache.getContentPageCount(dir.filePath("never.png")), 0);
}

void tst_VlContentCache::signalOnlyWhenTotalChanges()
{
    VlContentCache cache(nullptr);
    QSignalSpy totals(&cache, &VlContentCache::totalBytesChanged);

    cache.clearAll();
    QCOMPARE(totals.count(), 0);

    const QString uri = dir.filePath("same.png");
    cache.insert(image(10, 10), uri, 0, QSize());
    QCOMPARE(totals.count(), 1);
    // Same bytes under the same key: the total stays and nothing is emitted.
    cache.insert(image(10, 10), uri, 0, QSize());
    QCOMPARE(totals.count(), 1);

    cache.removeImage(uri, 0, QSize(3, 3));
    cache.removeImage(uri, 9, QSize());
    cache.removeImage(dir.filePath("other.png"), 0, QSize());
    QCOMPARE(totals.count(), 1);
    QCOMPARE(cache.getCachedSize(), 400ull);

    cache.clearAll();
    QCOMPARE(totals.count(), 2);
    QCOMPARE(totals.last().at(0).toULongLong(), 0ull);
    QCOMPARE(cache.getCachedSize(), 0ull);
    QCOMPARE(cache.getContentPageCount(uri), 0);
}

void tst_VlContentCache::setPageCountCreatesRecordWithoutBytes()
{
    VlContentCache cache(nullptr);
    QSignalSpy totals(&cache, &VlContentCache::totalBytesChanged);
    const QString path = dir.filePath("counted.pdf");
    QVERIFY(TestContent::writeFile(path, "not really a document"));

    cache.setPageCount(path, 7);
    QCOMPARE(cache.getContentPageCount(path), 7);
    QCOMPARE(cache.contents.value(path)->hash, VlContentCache::fileDigest(path, false));
    cache.setPageCount(path, 3);
    QCOMPARE(cache.getContentPageCount(path), 3);
    QCOMPARE(totals.count(), 0);
    int count = -1;
    cache.getImageCount(&count);
    QCOMPARE(count, 0);
}

void tst_VlContentCache::givenDigestOnlyForNewRecords_data()
{
    QTest::addColumn<bool>("pageCount"); // setPageCount, else insert
    QTest::addColumn<bool>("earlierRecord");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("recorded"); // "given", "file" or "earlier"

    const QString given = VlContentCache::bytesDigest("bytes that were read");
    QTest::newRow("insert, digest given") << false << false << given << "given";
    QTest::newRow("insert, no digest hashes the file") << false << false << QString() << "file";
    QTest::newRow("insert keeps the earlier digest") << false << true << given << "earlier";
    QTest::newRow("page count, digest given") << true << false << given << "given";
    QTest::newRow("page count, no digest hashes the file") << true << false << QString() << "file";
    QTest::newRow("page count keeps the earlier digest") << true << true << given << "earlier";
}

void tst_VlContentCache::givenDigestOnlyForNewRecords()
{
    QFETCH(bool, pageCount);
    QFETCH(bool, earlierRecord);
    QFETCH(QString, given);
    QFETCH(QString, recorded);

    VlContentCache cache(nullptr);
    const QString path = dir.filePath("digest-given.pdf");
    QVERIFY(TestContent::writeFile(path, "bytes on disk now"));
    const QString earlier = VlContentCache::bytesDigest("bytes of an earlier read");
    if (earlierRecord)
        cache.insert(image(2, 2), path, 1, QSize(), earlier);

    if (pageCount)
        cache.setPageCount(path, 4, given);
    else
        cache.insert(image(2, 2), path, 0, QSize(), given);

    const QMap<QString, QString> expected {
        {"given", given}, {"file", VlContentCache::fileDigest(path, false)}, {"earlier", earlier}};
    QCOMPARE(cache.contents.value(path)->hash, expected.value(recorded));
    QCOMPARE(cache.getContentPageCount(path), pageCount ? 4 : 1);
}

void tst_VlContentCache::oldestOnEmptyCache()
{
    VlContentCache cache(nullptr);
    QDateTime time;
    QString uri = "x";
    int page = 5;
    QSize size(1, 1);
    bool valid = true;
    cache.getOldestTime(&time, &uri, &page, &size, &valid);
    QVERIFY(!valid);
    QCOMPARE(time, QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::LocalTime));
    QCOMPARE(uri, QString());
    QCOMPARE(page, 0);
    QCOMPARE(size, QSize());
    // Null pointers are allowed for unwanted results.
    cache.getOldestTime(nullptr, nullptr, nullptr, nullptr, nullptr);
}

void tst_VlContentCache::oldestTieBreaking()
{
    VlContentCache cache(nullptr);
    const QString a = dir.filePath("a.pdf");
    const QString b = dir.filePath("b.pdf");
    cache.setPageCount(a, 3);
    cache.setPageCount(b, 3);
    cache.insert(image(1, 1), b, 0, QSize());
    cache.insert(image(1, 1), a, 2, QSize(800, 600));
    cache.insert(image(1, 1), a, 2, QSize());
    cache.insert(image(1, 1), a, 1, QSize(800, 600));

    const QDateTime t = QDateTime::currentDateTime().addSecs(-60);
    stamp(cache, b, 0, "-1x-1", t);
    stamp(cache, a, 2, "800x600", t);
    stamp(cache, a, 2, "-1x-1", t);
    stamp(cache, a, 1, "800x600", t);

    auto oldest = [&cache](QString *uri, int *page, QSize *size) {
        bool valid = false;
        cache.getOldestTime(nullptr, uri, page, size, &valid);
        return valid;
    };
    QString uri;
    int page = -5;
    QSize size;

    // All equal: first uri in key order, then lowest page, then first key.
    QVERIFY(oldest(&uri, &page, &size));
    QCOMPARE(uri, a);
    QCOMPARE(page, 1);
    QCOMPARE(size, QSize(800, 600));

    // On page 2 the first key in string order wins among equals.
    stamp(cache, a, 1, "800x600", t.addSecs(1));
    QVERIFY(oldest(&uri, &page, &size));
    QCOMPARE(uri, a);
    QCOMPARE(page, 2);
    QCOMPARE(size, QSize());

    // A strictly earlier entry wins wherever it is.
    stamp(cache, b, 0, "-1x-1", t.addMSecs(-1));
    QVERIFY(oldest(&uri, &page, &size));
    QCOMPARE(uri, b);
    QCOMPARE(page, 0);
}

void tst_VlContentCache::removeImageOfLastPageEntryKeepsRecord()
{
    VlContentCache cache(nullptr);
    QSignalSpy totals(&cache, &VlContentCache::totalBytesChanged);
    const QString doc = dir.filePath("pages.pdf");
    cache.setPageCount(doc, 2);
    cache.insert(image(10, 10), doc, 0, QSize());
    cache.insert(image(20, 10), doc, 1, QSize());
    stamp(cache, doc, 0, "-1x-1", QDateTime::currentDateTime().addSecs(-10));

    cache.removeImage(doc, 0, QSize());
    QCOMPARE(totals.count(), 3);
    QCOMPARE(totals.last().at(0).toULongLong(), 800ull);
    int count = 0;
    cache.getImageCount(&count);
    QCOMPARE(count, 1);
    QVERIFY(!cache.contains(doc, 0));
    QVERIFY(cache.contains(doc, 1));
    QCOMPARE(cache.getContentPageCount(doc), 2);
    QStringList uris;
    cache.getUriList(&uris);
    QCOMPARE(uris, QStringList {doc});

    int page = -1;
    bool valid = false;
    cache.getOldestTime(nullptr, nullptr, &page, nullptr, &valid);
    QVERIFY(valid);
    QCOMPARE(page, 1);
}

void tst_VlContentCache::removeUriIfNotMatchHash_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<QString>("given"); // "same", "SAME", "other", "empty"
    QTest::addColumn<bool>("removed");

    QTest::newRow("recorded digest") << true << "same" << false;
    QTest::newRow("recorded digest in upper case") << true << "SAME" << false;
    QTest::newRow("another digest") << true << "other" << true;
    QTest::newRow("file now missing") << true << "empty" << true;
    QTest::newRow("recorded empty, given empty") << false << "empty" << false;
    QTest::newRow("recorded empty, file appeared") << false << "other" << true;
}

void tst_VlContentCache::removeUriIfNotMatchHash()
{
    QFETCH(bool, fileExists);
    QFETCH(QString, given);
    QFETCH(bool, removed);

    VlContentCache cache(nullptr);
    const QString path = dir.filePath(QStringLiteral("hash-%1.pdf").arg(QTest::currentDataTag()));
    QFile::remove(path);
    if (fileExists)
        QVERIFY(TestContent::writeFile(path, QByteArray(1000, 'v')));
    const QString keep = dir.filePath("kept.png");
    cache.setPageCount(path, 2);
    cache.insert(image(10, 10), path, 0, QSize());
    cache.insert(image(10, 10), path, 0, QSize(5, 5));
    cache.insert(image(10, 10), path, 1, QSize());
    cache.insert(image(3, 3), keep, 0, QSize());
    const QString recorded = cache.contents.value(path)->hash;
    QCOMPARE(recorded.isEmpty(), !fileExists);

    QString digest;
    if (given == "same")
        digest = recorded;
    else if (given == "SAME")
        digest = recorded.toUpper();
    else if (given == "other")
        digest = QString(40, QLatin1Char('0'));

    QSignalSpy totals(&cache, &VlContentCache::totalBytesChanged);
    cache.removeUriIfNotMatchHash(path, digest);
    QCOMPARE(cache.getContentPageCount(path), removed ? 0 : 2);
    QCOMPARE(totals.count(), removed ? 1 : 0);
    QCOMPARE(cache.getCachedSize(), removed ? 36ull : 1236ull);
    cache.removeUriIfNotMatchHash(dir.filePath("absent.png"), digest);
    QCOMPARE(totals.count(), removed ? 1 : 0);
}

void tst_VlContentCache::fileDigest_data()
{
    QTest::addColumn<int>("size");

    QTest::newRow("empty file") << 0;
    QTest::newRow("one byte") << 1;
    // Where the padding of the last block changes shape.
    QTest::newRow("55 bytes") << 55;
    QTest::newRow("56 bytes") << 56;
    QTest::newRow("one block") << 64;
    QTest::newRow("block and 56 bytes") << 120;
    QTest::newRow("exactly one chunk") << 524288;
    QTest::newRow("one chunk and a byte") << 524289;
    QTest::newRow("several chunks") << 3 * 524288 + 17;
}

void tst_VlContentCache::fileDigest()
{
    QFETCH(int, size);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131) ^ (i >> 9));
    const QString path = dir.filePath(QStringLiteral("digest-%1.bin").arg(size));
    QVERIFY(TestContent::writeFile(path, bytes));

    const QString expected
        = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
    QCOMPARE(VlContentCache::fileDigest(path, true), expected);
    QCOMPARE(VlContentCache::fileDigest(path, false), expected);
    QCOMPARE(VlContentCache::bytesDigest(bytes), expected);
    QCOMPARE(VlContentCache::fileDigest(dir.filePath("missing.bin"), true), QString());
    QCOMPARE(VlContentCache::fileDigest(dir.path(), true), QString());
}

void tst_VlContentCache::insertHashesOutsideContentsLock()
{
    // A large file's digest processes this thread's events between chunks; a call queued
    // before the insert runs during hashing and checks from another thread that the
    // contents lock is free, as getImage from another thread needs it to be.
    VlContentCache cache(nullptr);
    const QString path = dir.filePath("large.png");
    QVERIFY(TestContent::writeFile(path, QByteArray(3 * 524288, 'x')));

    bool ranDuringHash = false;
    bool lockWasFree = false;
    // Outlives the queued call: should the lock be held, the other thread can only finish
    // once the insert has released it.
    std::future<bool> other;
    QMetaObject::invokeMethod(
        this,
        [&] {
            ranDuringHash = true;
            other = std::async(std::launch::async,
                [&cache] { return cache.contains(QStringLiteral("elsewhere.png"), 0); });
            lockWasFree = other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        },
        Qt::QueuedConnection);
    cache.insert(image(4, 4), path, 0, QSize());

    QVERIFY(ranDuringHash);
    QVERIFY(lockWasFree);
    QCOMPARE(cache.contents.value(path)->hash, VlContentCache::fileDigest(path, false));
}

QTEST_MAIN(tst_VlContentCache)
#include "tst_vlcontentcache.moc"
