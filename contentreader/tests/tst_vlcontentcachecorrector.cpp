#include "VlContentCache.h"
#include "VlContentCacheCorrector.h"
#include "testcontent.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace Vela;

class tst_VlContentCacheCorrector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void defaultsAndLimitAccessors();
    void byteLimitEviction_data();
    void byteLimitEviction();
    void byteLimitWorksWhileDisabled();
    void stopBeforeTheFirstStartIsKept();
    void countPassRemovesOldest_data();
    void countPassRemovesOldest();
    void passDoesNothingWhileDisabled();
    void changedFilesDroppedAtNextPass();
    void stopDuringPassEndsItAndKeepsTimerOff();
    void realPassEnforcesCount();
    void cacheDeletedInsideAPass();
    void massEvictionOnASmallStack();

private:
    // Images of 400 bytes under uris "u00", "u01", ..., the lower index the older.
    static QStringList fill(VlContentCache &cache, int count, int pixels = 100)
    {
        QStringList uris;
        const QDateTime base = QDateTime::currentDateTime().addSecs(-1000);
        for (int i = 0; i < count; ++i) {
            const QString uri = QStringLiteral("u%1").arg(i, 2, 10, QLatin1Char('0'));
            cache.insert(
                std::make_shared<QImage>(pixels, 1, QImage::Format_ARGB32), uri, 0, QSize());
            age(cache, uri, base.addSecs(i));
            uris << uri;
        }
        return uris;
    }
    static void age(VlContentCache &cache, const QString &uri, const QDateTime &time)
    {
        cache.contents.value(uri)->pages.value(0)->images.value("-1x-1")->usedTime = time;
    }
    static QStringList stored(VlContentCache &cache)
    {
        QStringList uris;
        cache.getUriList(&uris);
        QStringList withImages;
        for (const QString &uri : uris) {
            if (cache.contains(uri, 0))
                withImages << uri;
        }
        return withImages;
    }
    static int imageCount(VlContentCache &cache)
    {
        int count = 0;
        cache.getImageCount(&count);
        return count;
    }
    static bool timerActive(VlContentCacheCorrector *corrector)
    {
        return corrector->timer.isActive();
    }

    QTemporaryDir dir;
};

void tst_VlContentCacheCorrector::initTestCase()
{
    QVERIFY(dir.isValid());
}

void tst_VlContentCacheCorrector::defaultsAndLimitAccessors()
{
    VlContentCacheCorrector corrector;
    QCOMPARE(corrector.getMaximumCacheSize(), 104857600ull);
    QCOMPARE(corrector.getMaximumImageCount(), 20);
    QCOMPARE(corrector.getMinimumImageCount(), 1);
    QVERIFY(!corrector.isEnabled());
    QCOMPARE(corrector.timer.interval(), 10000);

    corrector.setMinimumImageCount(0);
    corrector.setMinimumImageCount(-4);
    QCOMPARE(corrector.getMinimumImageCount(), 1);
    corrector.setMinimumImageCount(3);
    QCOMPARE(corrector.getMinimumImageCount(), 3);
    corrector.setMaximumImageCount(-1);
    QCOMPARE(corrector.getMaximumImageCount(), -1);
    corrector.setMaximumCacheSize(0);
    QCOMPARE(corrector.getMaximumCacheSize(), 0ull);

    corrector.start();
    QVERIFY(corrector.isEnabled());
    QVERIFY(timerActive(&corrector));
    corrector.setEnabled(false);
    QVERIFY(timerActive(&corrector));
    corrector.stop();
    QVERIFY(!timerActive(&corrector));

    // The cache forwards its limit accessors to its corrector.
    VlContentCache cache(nullptr);
    cache.setMaximumCacheSize(123);
    cache.setMaximumImageCount(7);
    cache.setMinimumImageCount(2);
    QCOMPARE(cache.cacheCorrector()->getMaximumCacheSize(), 123ull);
    QCOMPARE(cache.getMaximumImageCount(), 7);
    QCOMPARE(cache.getMinimumImageCount(), 2);
}

void tst_VlContentCacheCorrector::byteLimitEviction_data()
{
    QTest::addColumn<int>("images"); // of 400 bytes each, u00 the oldest
    QTest::addColumn<int>("pixels"); // per image, 4 bytes each
    QTest::addColumn<quint64>("limit");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<QStringList>("kept");

    QTest::newRow("total equal to limit evicts")
        << 3 << 100 << 1200ull << 1 << QStringList {"u01", "u02"};
    QTest::newRow("one byte under the limit keeps all")
        << 3 << 100 << 1201ull << 1 << QStringList {"u00", "u01", "u02"};
    QTest::newRow("evicts until below the limit")
        << 4 << 100 << 900ull << 1 << QStringList {"u02", "u03"};
    QTest::newRow("minimum count respected")
        << 3 << 100 << 400ull << 2 << QStringList {"u01", "u02"};
    QTest::newRow("single image over the limit kept")
        << 1 << 1000 << 100ull << 1 << QStringList {"u00"};
    QTest::newRow("of two over the limit the newer stays")
        << 2 << 1000 << 100ull << 1 << QStringList {"u01"};
    QTest::newRow("limit 0 switches it off")
        << 3 << 100 << 0ull << 1 << QStringList {"u00", "u01", "u02"};
}

void tst_VlContentCacheCorrector::byteLimitEviction()
{
    QFETCH(int, images);
    QFETCH(int, pixels);
    QFETCH(quint64, limit);
    QFETCH(int, minimum);
    QFETCH(QStringList, kept);

    VlContentCache cache(nullptr);
    VlContentCacheCorrector *corrector = cache.cacheCorrector();
    corrector->setMaximumCacheSize(0);
    fill(cache, images, pixels);
    QCoreApplication::processEvents(); // the fill's notifications, with the limit off

    corrector->setEnabled(true);
    corrector->setMaximumCacheSize(limit);
    corrector->setMinimumImageCount(minimum);
    corrector->onCacheTotalBytesChanged(cache.getCachedSize());
    QCOMPARE(stored(cache), kept);

    quint64 sum = 0;
    for (const QString &uri : kept)
        sum += cache.getImage(uri, 0)->sizeInBytes();
    QCOMPARE(cache.getCachedSize(), sum);
}

void tst_VlContentCacheCorrector::byteLimitWorksWhileDisabled()
{
    VlContentCache cache(nullptr);
    VlContentCacheCorrector *corrector = cache.cacheCorrector();
    corrector->setMaximumCacheSize(0);
    fill(cache, 4);
    QCoreApplication::processEvents();
    corrector->stop();
    QVERIFY(!corrector->isEnabled());

    // Each notification evicts one image; the notification of that eviction evicts the next.
    corrector->setMaximumCacheSize(400);
    corrector->onCacheTotalBytesChanged(cache.getCachedSize());
    QTRY_COMPARE(stored(cache), QStringList {"u03"});
    QVERIFY(!corrector->isEnabled());
    QVERIFY(!timerActive(corrector));
}

void tst_VlContentCacheCorrector::stopBeforeTheFirstStartIsKept()
{
    // Lives in the corrector's thread; its event loop runs only after the thread's start has
    // posted the corrector's first start, so its answer arrives after that start.
    QObject probe;
    VlContentCache cache(nullptr);
    VlContentCacheCorrector *corrector = cache.cacheCorrector();
    corrector->stop();
    probe.moveToThread(cache.correctorThread);
    bool answered = false;
    QMetaObject::invokeMethod(
        &probe,
        [this, &answered] {
            QMetaObject::invokeMethod(
                this, [&answered] { answered = true; }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(answered, 20000);
    QVERIFY(!corrector->isEnabled());
    QVERIFY(!timerActive(corrector));
}

void tst_VlContentCacheCorrector::countPassRemovesOldest_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("expected");

    QTest::newRow("25 images, at most 20") << 20 << 20;
    QTest::newRow("limit above the count") << 30 << 25;
    QTest::newRow("limit 0 switches it off") << 0 << 25;
    QTest::newRow("negative switches it off") << -3 << 25;
    QTest::newRow("at most 1") << 1 << 1;
}

void tst_VlContentCacheCorrector::countPassRemovesOldest()
{
    QFETCH(int, maximum);
    QFETCH(int, expected);

    VlContentCache cache(nullptr);
    VlContentCacheCorrector *corrector = cache.cacheCorrector();
    const QStringList uris = fill(cache, 25);
    // Ages against key order, so that eviction by key order would be caught.
    const QDateTime base = QDateTime::currentDateTime().addSecs(-1000);
    for (int i = 0; i < uris.size(); ++i)
        age(cache, uris.at(i), base.addSecs(100 - i));

    corrector->setMaximumImageCount(maximum);
    corrector->setEnabled(true);
    corrector->correct();
    QCOMPARE(imageCount(cache), expected);
    QCOMPARE(stored(cache), uris.mid(0, expected));
    QVERIFY(timerActive(corrector)); // the next pass is scheduled after this one
    corrector->stop();
}

void tst_VlContentCacheCorrector::passDoesNothingWhileDisabled()
{
    VlContentCache cache(nullptr);
    VlContentCacheCorrector *corrector = cache.cacheCorrector();
    fill(cache, 25);
    corrector->start();
    corrector->setEnabled(false);
    corrector->correct();
    QCOMPARE(imageCount(cache), 25);
    QVERIFY(timerActive(corrector)); // left running; its passes return at once
    corrector->stop();
}

void tst_VlContentCacheCorrector::changedFilesDroppedAtNextPass()
{
    VlContentCache cache(nullptr);
    VlContentCacheCorrector *corrector = cache.cacheCorrector();
    const QString unchanged = dir.filePath("unchanged.png");
    const QString rewritten = dir.filePath("rewritten.png");
    const QString deleted = dir.filePath("deleted.png");
    const QString neverExisted = dir.filePath("never.png");
    QVERIFY(TestContent::writeFile(unchanged, "same bytes"));
    QVERIFY(TestContent::writeFile(rewritten, "old bytes"));
    QVERIFY(TestContent::writeFile(deleted, QByteArray(600000, 'd')));
    for (const QString &uri : {unchanged, rewritten, deleted, neverExisted})
        cache.insert(std::make_shared<QImage>(4, 4, QImage::Format_ARGB32), uri, 0, QSize());

    QVERIFY(TestContent::writeFile(rewritten, "new bytes"));
    QVERIFY(QFile::remove(deleted));
    corrector->setEnabled(true);
    corrector->correct();
    corrector->stop();

    QStringList uris;
    cache.getUriList(&uris);
    QStringList expected {unchanged, neverExisted};
    expected.sort();
    QCOMPARE(uris, expected);
    QCOMPARE(cache.getCachedSize(), 2 * 64ull);
}

void tst_VlContentCacheCorrector::stopDuringPassEndsItAndKeepsTimerOff()
{
    VlContentCache cache(nullptr);
    VlContentCacheCorrector *corrector = cache.cacheCorrector();
    fill(cache, 25);
    corrector->start();

    int passedUris = 0;
    connect(corrector, &VlContentCacheCorrector::s_removeUriIfNotMatchHash, this,
        [&passedUris] { ++passedUris; });
    // Runs at the first event processing of the pass, after its first uri.
    QMetaObject::invokeMethod(corrector, "stop", Qt::QueuedConnection);
    corrector->correct();

    QCOMPARE(passedUris, 1);
    QCOMPARE(imageCount(cache), 25); // the count step did not run
    QVERIFY(!corrector->isEnabled());
    QVERIFY(!timerActive(corrector));
}

void tst_VlContentCacheCorrector::realPassEnforcesCount()
{
    // The one test that waits for the corrector's own timer, started by its thread.
    VlContentCache cache(nullptr);
    VlContentCacheCorrector *corrector = cache.cacheCorrector();
    QTRY_VERIFY(corrector->isEnabled());
    const QStringList uris = fill(cache, 22);
    QTRY_COMPARE_WITH_TIMEOUT(imageCount(cache), 20, 20000);
    QCOMPARE(stored(cache), uris.mid(2));
}

void tst_VlContentCacheCorrector::cacheDeletedInsideAPass()
{
    auto *cache = new VlContentCache(nullptr);
    QPointer<VlContentCacheCorrector> corrector = cache->cacheCorrector();
    QTRY_VERIFY(corrector->isEnabled());
    // Files of several chunks, so that the pass processes events many times per file.
    for (int i = 0; i < 3; ++i) {
        const QString file = dir.filePath(QStringLiteral("chunks-%1.bin").arg(i));
        QVERIFY(TestContent::writeFile(file, QByteArray(4 << 20, char('a' + i))));
        cache->insert(std::make_shared<QImage>(4, 4, QImage::Format_ARGB32), file, 0, QSize());
    }
    // A host slot run by the pass's event processing deletes the cache, as quit() does.
    connect(corrector, &VlContentCacheCorrector::s_removeUriIfNotMatchHash, cache, [cache] {
        QMetaObject::invokeMethod(
            cache, [cache] { cache->deleteLater(); }, Qt::QueuedConnection);
    });
    QTimer::singleShot(0, corrector, &VlContentCacheCorrector::correct);
    QTRY_VERIFY(corrector.isNull());
}

void tst_VlContentCacheCorrector::massEvictionOnASmallStack()
{
    // The cache and its corrector live in a thread with a small stack, as on a platform whose
    // main thread has 1 MiB.
    QThread maintenance;
    maintenance.setStackSize(512 * 1024);
    maintenance.start();
    QObject home;
    home.moveToThread(&maintenance);
    VlContentCache *cache = nullptr;
    QMetaObject::invokeMethod(
        &home, [&cache] { cache = new VlContentCache(nullptr); }, Qt::BlockingQueuedConnection);
    cache->setMaximumImageCount(0);

    const int images = 20000;
    for (int i = 0; i <= images; ++i) {
        if (i == images)
            cache->setMaximumCacheSize(100 * 16 + 1); // then one more image notifies
        cache->insert(std::make_shared<QImage>(4, 1, QImage::Format_ARGB32),
            QStringLiteral("u%1").arg(i, 5, 10, QLatin1Char('0')), 0, QSize(), QString("d"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(cache->getCachedSize(), 100 * 16ull, 60000);
    QCOMPARE(imageCount(*cache), 100);
    QVERIFY(cache->contains(QStringLiteral("u%1").arg(images), 0)); // the newest stays

    QMetaObject::invokeMethod(
        &home, [cache] { delete cache; }, Qt::BlockingQueuedConnection);
    maintenance.quit();
    QVERIFY(maintenance.wait(10000));
}

QTEST_MAIN(tst_VlContentCacheCorrector)
#include "tst_vlcontentcachecorrector.moc"
