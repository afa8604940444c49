#include <VlContentReader.h>

#include "VlContentCache.h"
#include "VlContentCacheCorrector.h"
#include "VlContentReader_Ctrl.h"
#include "testcontent.h"

#include <QDir>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace Vela;

// The reader's threads as a long-running host meets them: the first call comes from a thread
// that ends, workers come and go, and quit() is called from inside a maintenance pass. The
// process quits once, so the tests run in the order declared and the last one quits.
class tst_VlContentReaderThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void answersAfterFirstCallerEnded();
    void limitsEnforcedAfterFirstCallerEnded_data();
    void limitsEnforcedAfterFirstCallerEnded();
    void threadThatCannotStartAnswers();
    void idleThreadsReleased();
    void staleIdleNoticeKeepsCurrentController();
    void quitInsideMaintenancePass();

private:
    static int threadCount() { return QDir("/proc/self/task").count() - 2; }
    // Files name-0.png ... of size x size pixels, 4 bytes each once decoded.
    QStringList images(const QString &name, int count, int size = 2)
    {
        QStringList files;
        const QImage image = TestContent::pattern(QSize(size, size));
        for (int i = 0; i < count; ++i) {
            files << dir.filePath(QStringLiteral("%1-%2.png").arg(name).arg(i));
            if (!image.save(files.last()))
                return QStringList();
        }
        return files;
    }
    // Reads every file; true when each request was answered ready.
    bool readAll(const QStringList &files)
    {
        QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
        QSignalSpy failed(reader.data(), &VlContentReader::failedToRead);
        for (const QString &file : files)
            VlContentReader::read(file);
        return QTest::qWaitFor(
                   [&] { return ready.count() + failed.count() >= files.size(); }, 60000)
            && !files.isEmpty() && ready.count() == files.size() && failed.isEmpty();
    }

    QTemporaryDir dir;
    QPointer<VlContentReader> reader;
    int threadsBefore = 0;
};

void tst_VlContentReaderThreads::initTestCase()
{
    QVERIFY(dir.isValid());
    threadsBefore = threadCount();
    const QStringList first = images("first", 1);
    QVERIFY(!first.isEmpty());
    // The first call of the process, which makes the reader, the cache and a controller, comes
    // from a loader thread that ends right after.
    QScopedPointer<QThread> loader(QThread::create([first] { VlContentReader::read(first[0]); }));
    loader->start();
    QVERIFY(loader->wait(10000));
    reader = VlContentReader::globalInstance();
    QVERIFY(reader);
    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    QVERIFY(ready.wait(10000));
}

void tst_VlContentReaderThreads::answersAfterFirstCallerEnded()
{
    QVERIFY(readAll(QStringList(dir.filePath("first-0.png")) + images("later", 3)));
}

void tst_VlContentReaderThreads::limitsEnforcedAfterFirstCallerEnded_data()
{
    QTest::addColumn<int>("maximumCount");
    QTest::addColumn<quint64>("maximumBytes");
    QTest::addColumn<int>("kept");

    const quint64 image = 100 * 100 * 4;
    QTest::newRow("image count, at the next pass") << 5 << 104857600ull << 5;
    QTest::newRow("bytes, at once") << 0 << 3 * image + 1 << 3;
}

void tst_VlContentReaderThreads::limitsEnforcedAfterFirstCallerEnded()
{
    QFETCH(int, maximumCount);
    QFETCH(quint64, maximumBytes);
    QFETCH(int, kept);

    VlContentReader::clearAllCache();
    VlContentReader::setMaximumImageCount(maximumCount);
    VlContentReader::setMaximumCacheSize(maximumBytes);
    QVERIFY(readAll(images(QTest::currentDataTag(), 8, 100)));
    QTRY_COMPARE_WITH_TIMEOUT(VlContentReader::getCachedSize(), kept * 100 * 100 * 4ull, 30000);
    VlContentReader::setMaximumImageCount(20);
    VlContentReader::setMaximumCacheSize(104857600);
}

void tst_VlContentReaderThreads::threadThatCannotStartAnswers()
{
    const QString file = images("unstarted", 1).value(0);
    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    QSignalSpy failed(reader.data(), &VlContentReader::failedToRead);
    // A stack below the platform's minimum makes QThread::start fail, as thread or memory
    // limits do.
    VlContentReader_Ctrl::setWorkerStackSize(1);
    VlContentReader::read(file, 0, QSize(30, 20));
    QTRY_COMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0),
        QVariantList({file, 0, QString("The reader thread could not be started."), QSize()}));

    VlContentReader_Ctrl::setWorkerStackSize(0);
    VlContentReader::read(file);
    QTRY_COMPARE(ready.count(), 1);
    QCOMPARE(failed.count(), 1);
}

void tst_VlContentReaderThreads::idleThreadsReleased()
{
    QCOMPARE(VlContentReader::idleThreadTimeout(), 60000);
    VlContentReader::setIdleThreadTimeout(200);
    QCOMPARE(VlContentReader::idleThreadTimeout(), 200);
    const QStringList files = images("many", 2000);
    QVERIFY(!files.isEmpty());
    const int threadsIdle = threadCount();

    QVERIFY(readAll(files));
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threadsIdle + 4, 60000);
    // Released workers are made again, transparently.
    QVERIFY(readAll(files));
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threadsIdle + 4, 60000);
}

void tst_VlContentReaderThreads::staleIdleNoticeKeepsCurrentController()
{
    // Idle workers stay, so that only the notice could release the uri's controller.
    VlContentReader::setIdleThreadTimeout(0);
    const QString file = images("stale", 1).value(0);
    QVERIFY(readAll({file}));
    // A notice for the same uri from a controller that is no longer the reader's.
    VlContentReader_Ctrl stale(file, nullptr);
    QVERIFY(connect(&stale, SIGNAL(idleTimedOut(QString)), reader.data(),
        SLOT(on_allFinished(QString)), Qt::QueuedConnection));
    const int threads = threadCount();
    emit stale.idleTimedOut(file);
    bool handled = false; // queued behind the notice
    QMetaObject::invokeMethod(
        reader.data(), [&handled] { handled = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(handled);
    // A released controller would have joined its worker by now; give its end a moment.
    QVERIFY(!QTest::qWaitFor([&] { return threadCount() < threads; }, 300));
}

void tst_VlContentReaderThreads::quitInsideMaintenancePass()
{
    QVERIFY(readAll(images("pass", 4)));
    VlContentCache *cache = VlContentCache::instance();
    // Files of several chunks, so that the pass processes events many times per file.
    for (int i = 0; i < 3; ++i) {
        const QString file = dir.filePath(QStringLiteral("chunks-%1.bin").arg(i));
        QVERIFY(TestContent::writeFile(file, QByteArray(4 << 20, char('a' + i))));
        cache->insert(std::make_shared<QImage>(4, 4, QImage::Format_ARGB32), file, 0, QSize());
    }
    QPointer<VlContentCacheCorrector> corrector = cache->cacheCorrector();
    // A host's slot that runs while the pass processes events calls quit().
    connect(corrector, &VlContentCacheCorrector::s_removeUriIfNotMatchHash, this, [] {
        QMetaObject::invokeMethod(
            qApp, [] { VlContentReader::quit(); }, Qt::QueuedConnection);
    });
    QTimer::singleShot(0, corrector, &VlContentCacheCorrector::correct);
    QTRY_VERIFY_WITH_TIMEOUT(reader.isNull(), 30000);
    QTRY_VERIFY(corrector.isNull());
    // Every worker joined, the corrector's thread too.
    QTRY_VERIFY(threadCount() <= threadsBefore);
}

QTEST_MAIN(tst_VlContentReaderThreads)
#include "tst_vlcontentreader_threads.moc"
