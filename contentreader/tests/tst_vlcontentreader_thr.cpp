#include "VlContentCache.h"
#include "VlContentCacheCorrector.h"
#include "VlContentReader_Ctrl.h"
#include "VlContentReader_Thr_p.h"
#include "testcontent.h"
#include "testpdf.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

using namespace Vela;

namespace {

// Everything a controller or worker reports, in arrival order, as short lines.
class Journal : public QObject
{
public:
    template<class Source> explicit Journal(Source *source)
    {
        connect(source, &Source::readyContent, this,
            [this](const QString &, int page, const QSize &size) {
                lines << QStringLiteral("ready %1 %2").arg(page).arg(sizeText(size));
            });
        connect(source, &Source::failedToRead, this,
            [this](const QString &, int page, const QString &message, const QSize &size) {
                lines << QStringLiteral("failed %1 %2 %3").arg(page).arg(sizeText(size), message);
            });
        connect(source, &Source::aborted, this,
            [this](const QString &, int page) { lines << QStringLiteral("aborted %1").arg(page); });
        connect(source, &Source::finished, this, [this](const QString &, int page) {
            lines << QStringLiteral("finished %1").arg(page);
        });
        connect(source, &Source::allFinished, this, [this] { lines << QStringLiteral("all"); });
    }

    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &line : lines)
            n += line.startsWith(prefix) ? 1 : 0;
        return n;
    }
    QStringList results() const
    {
        QStringList out;
        for (const QString &line : lines) {
            if (line != QLatin1String("all"))
                out << line;
        }
        return out;
    }

    QStringList lines;

private:
    static QString sizeText(const QSize &size)
    {
        return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
    }
};

} // namespace

class tst_VlContentReader_Thr : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void failureMessages_data();
    void failureMessages();
    void queuedRequestsRunInOrder();
    void readsBeforeThreadRunsAreDeliveredOnce();
    void cachedPageAnsweredWithoutTheFile();
    void imageStoredUnderPageZeroAtNaturalSize();
    void readStepsNeverNest();
    void pdfReadingStopsAtAbort();
    void hugeImageRefusedBeforeDecoding_data();
    void hugeImageRefusedBeforeDecoding();
    void decodeLimit_data();
    void decodeLimit();
    void replacedAfterReadIsDroppedAtNextPass_data();
    void replacedAfterReadIsDroppedAtNextPass();
    void pageCountKeptWhenRecordDroppedDuringRender_data();
    void pageCountKeptWhenRecordDroppedDuringRender();
    void laterPageKeepsDigestOfItsBytes_data();
    void laterPageKeepsDigestOfItsBytes();
    void controllerWhoseThreadNeverStarted();

private:
    QString path(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
};

void tst_VlContentReader_Thr::initTestCase()
{
    QVERIFY(dir.isValid());
    // The process-wide cache belongs to this thread, as it would to a host's GUI thread.
    QVERIFY(VlContentCache::instance());
    VlContentCache::instance()->setMaximumImageCount(0);

    QVERIFY(TestContent::pattern(QSize(64, 48)).save(path("small.png")));
    QVERIFY(TestContent::writeFile(path("notes.txt"), "plain text"));
    QVERIFY(TestContent::writeFile(path("garbage.png"), "this is not a picture at all"));
    QVERIFY(TestContent::writeFile(path("empty.jpg"), QByteArray()));
    QVERIFY(TestContent::writeFile(
        path("huge-dimensions.png"), TestContent::pngDeclaring(100000, 100000)));
    QVERIFY(
        TestContent::writeFile(path("too-many-pixels.png"), TestContent::pngDeclaring(9000, 9000)));
}

void tst_VlContentReader_Thr::init()
{
    VlContentCache::instance()->clearAll();
}

void tst_VlContentReader_Thr::cleanupTestCase()
{
    delete VlContentCache::instance();
}

void tst_VlContentReader_Thr::failureMessages_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("message");

    const QString unreadable = "An error occured while reading the image file.";
    QTest::newRow("page below -1") << "small.png" << -2 << "pageIndex must be -1 or grater.";
    QTest::newRow("missing file") << "nothing.png" << 0 << "The file does not exist.";
    QTest::newRow("missing file, unsupported suffix")
        << "nothing.xyz" << 0 << "The file does not exist.";
    QTest::newRow("unsupported type") << "notes.txt" << 0 << "The content type is unsupported.";
    QTest::newRow("image suffix, no image") << "garbage.png" << 0 << unreadable;
    QTest::newRow("empty image file") << "empty.jpg" << 1 << unreadable;
    QTest::newRow("declares 100000x100000") << "huge-dimensions.png" << 0 << unreadable;
    QTest::newRow("declares 9000x9000") << "too-many-pixels.png" << 0 << unreadable;
}

void tst_VlContentReader_Thr::failureMessages()
{
    QFETCH(QString, file);
    QFETCH(int, page);
    QFETCH(QString, message);

    VlContentReader_Ctrl controller(path(file), nullptr);
    Journal journal(&controller);
    controller.read(page, QSize(320, 200));
    QTRY_VERIFY(journal.lines.contains("all"));
    QCOMPARE(journal.results(),
        QStringList({QStringLiteral("failed %1 -1x-1 %2").arg(page).arg(message),
            QStringLiteral("finished %1").arg(page)}));
    QCOMPARE(VlContentCache::instance()->getCachedSize(), 0ull);
    QCOMPARE(VlContentCache::instance()->getContentPageCount(path(file)), 0);
}

void tst_VlContentReader_Thr::queuedRequestsRunInOrder()
{
    VlContentReader_Ctrl controller(path("small.png"), nullptr);
    Journal journal(&controller);
    // Once the thread runs, requests reach the worker in call order.
    controller.read(0, QSize());
    QTRY_VERIFY(journal.lines.contains("all"));
    journal.lines.clear();

    controller.read(4, QSize());
    controller.read(-2, QSize(800, 600));
    controller.read(-1, QSize(800, 600));
    QTRY_VERIFY(journal.lines.contains("all"));
    const QStringList expected {"ready 4 -1x-1", "finished 4",
        "failed -2 -1x-1 pageIndex must be -1 or grater.", "finished -2", "ready -1 -1x-1",
        "finished -1"};
    QCOMPARE(journal.lines.mid(0, 6), expected);
    QCOMPARE(journal.lines.value(6), QString("all"));
}

void tst_VlContentReader_Thr::readsBeforeThreadRunsAreDeliveredOnce()
{
    VlContentReader_Ctrl controller(path("small.png"), nullptr);
    Journal journal(&controller);
    for (int page = 0; page < 10; ++page)
        controller.read(page, QSize());
    QTRY_COMPARE(journal.count("finished"), 10);

    QStringList ready;
    for (const QString &line : journal.lines) {
        if (line.startsWith("ready"))
            ready << line;
    }
    ready.sort();
    QStringList expected;
    for (int page = 0; page < 10; ++page)
        expected << QStringLiteral("ready %1 -1x-1").arg(page);
    expected.sort();
    QCOMPARE(ready, expected);
    QTRY_VERIFY(journal.lines.last() == "all");
}

void tst_VlContentReader_Thr::cachedPageAnsweredWithoutTheFile()
{
    const QString file = path("vanishing.png");
    QVERIFY(TestContent::pattern(QSize(20, 10)).save(file));
    VlContentReader_Ctrl controller(file, nullptr);
    Journal journal(&controller);
    controller.read(0, QSize());
    QTRY_COMPARE(journal.count("finished"), 1);

    QVERIFY(QFile::remove(file));
    controller.read(7, QSize());
    QTRY_COMPARE(journal.count("finished"), 2);
    QCOMPARE(journal.results(),
        QStringList({"ready 0 -1x-1", "finished 0", "ready 7 -1x-1", "finished 7"}));
}

void tst_VlContentReader_Thr::imageStoredUnderPageZeroAtNaturalSize()
{
    const QString file = path("page3.png");
    const QImage source = TestContent::pattern(QSize(33, 17));
    QVERIFY(source.save(file));
    VlContentReader_Ctrl controller(file, nullptr);
    Journal journal(&controller);
    controller.read(3, QSize(800, 600));
    QTRY_COMPARE(journal.count("finished"), 1);
    QCOMPARE(journal.results().value(0), QString("ready 3 -1x-1"));

    VlContentCache *cache = VlContentCache::instance();
    QStringList uris;
    cache->getUriList(&uris);
    QCOMPARE(uris, QStringList {file});
    const auto image = cache->getImage(file, 0);
    QVERIFY(image);
    QCOMPARE(image->size(), source.size());
    QCOMPARE(cache->getImageLarge(file, 0, QSize(800, 600)), nullptr);
    QCOMPARE(cache->getCachedSize(), quint64(image->sizeInBytes()));
}

void tst_VlContentReader_Thr::readStepsNeverNest()
{
    // A step that processes events in the worker's thread (the hook stands in for any code
    // that does) lets the worker's 1 ms timer deliver a further readNext in the middle of it.
    // That readNext must leave its item to the finished handler of the step under way.
    const QString file = path("nesting.png");
    QVERIFY(TestContent::pattern(QSize(40, 30)).save(file));

    VlContentReader_Thr worker(file, nullptr);
    VlContentReader_ThrProbe::setContentReadHook(&worker, [] { QTest::qWait(20); });
    Journal journal(&worker);
    worker.read(5, QSize());
    worker.read(6, QSize());
    QMetaObject::invokeMethod(&worker, "readNext", Qt::QueuedConnection);
    QMetaObject::invokeMethod(&worker, "readNext", Qt::QueuedConnection);
    QTRY_COMPARE(journal.count("finished"), 2);
    QTRY_VERIFY(journal.lines.last() == "all");
    QCOMPARE(journal.results(),
        QStringList({"ready 5 -1x-1", "finished 5", "ready 6 -1x-1", "finished 6"}));

    VlContentCache *cache = VlContentCache::instance();
    int count = 0;
    cache->getImageCount(&count);
    QCOMPARE(count, 1);
    QCOMPARE(cache->getCachedSize(), quint64(cache->getImage(file, 0)->sizeInBytes()));
}

namespace {
std::atomic<int> rawDataLines {0};
}

void tst_VlContentReader_Thr::pdfReadingStopsAtAbort()
{
    // Nothing in the library asks a worker to abort by itself, and the queued abort slot
    // runs only between read steps; a direct call from another thread is what reaches the
    // chunk loop. The worker reads in this thread while the other one keeps aborting.
    const QString file = path("long-read.pdf");
    {
        QFile big(file);
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(64 * 1024 * 1024));
    }
    VlContentReader_Thr worker(file, nullptr);
    QSignalSpy aborted(&worker, &VlContentReader_Thr::aborted);
    QSignalSpy failed(&worker, &VlContentReader_Thr::failedToRead);
    QSignalSpy counted(&worker, &VlContentReader_Thr::gotContentPageCount);
    QSignalSpy finished(&worker, &VlContentReader_Thr::finished);

    rawDataLines = 0;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtDebugMsg && text == QLatin1String("Raw PDF data deleted."))
                ++rawDataLines;
        });
    std::atomic<bool> reading {true};
    std::thread aborter([&] {
        while (reading)
            worker.abort();
    });
    worker.read(0, QSize());
    const bool done = finished.wait(20000);
    reading = false;
    aborter.join();
    qInstallMessageHandler(previous);

    QVERIFY(done);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(aborted.count(), 1);
    QCOMPARE(aborted.at(0), QList<QVariant>({file, 0, QSize()}));
    QCOMPARE(counted.count(), 0);
    QCOMPARE(rawDataLines.load(), 1);
    QCOMPARE(VlContentCache::instance()->getContentPageCount(file), 0);
}

void tst_VlContentReader_Thr::hugeImageRefusedBeforeDecoding_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("refused");

    // These files decode without error whatever size they declare, so only the size check
    // tells a refusal apart from a read. The reader reports the frame's size, 1x1; the
    // decoder allocates the logical screen.
    QTest::newRow("small screen is read") << 300 << 200 << false;
    QTest::newRow("9000x9000 screen is refused") << 9000 << 9000 << true;
}

void tst_VlContentReader_Thr::hugeImageRefusedBeforeDecoding()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, refused);

    const QString file = path(QStringLiteral("screen-%1x%2.gif").arg(width).arg(height));
    QVERIFY(TestContent::writeFile(file, TestContent::gifDeclaring(width, height)));
    VlContentReader_Ctrl controller(file, nullptr);
    Journal journal(&controller);
    controller.read(0, QSize());
    QTRY_COMPARE(journal.count("finished"), 1);
    QCOMPARE(journal.results().value(0),
        refused ? QString("failed 0 -1x-1 An error occured while reading the image file.")
                : QString("ready 0 -1x-1"));
    const auto image = VlContentCache::instance()->getImage(file, 0);
    QCOMPARE(image ? image->size() : QSize(), refused ? QSize() : QSize(width, height));
}

void tst_VlContentReader_Thr::decodeLimit_data()
{
    QTest::addColumn<QSize>("declared");
    QTest::addColumn<int>("format");
    QTest::addColumn<quint64>("maximumCacheSize");
    QTest::addColumn<bool>("refused");

    const quint64 mib = 1024 * 1024;
    QTest::newRow("100000x100000 RGBA")
        << QSize(100000, 100000) << int(QImage::Format_ARGB32) << 100 * mib << true;
    QTest::newRow("exactly 256 MiB")
        << QSize(8192, 8192) << int(QImage::Format_ARGB32) << 100 * mib << false;
    QTest::newRow("a line over 256 MiB")
        << QSize(8192, 8193) << int(QImage::Format_ARGB32) << 100 * mib << true;
    QTest::newRow("raised cache limit allows it")
        << QSize(8192, 8193) << int(QImage::Format_ARGB32) << 512 * mib << false;
    QTest::newRow("8-bit pixels count less")
        << QSize(16384, 16384) << int(QImage::Format_Grayscale8) << 100 * mib << false;
    QTest::newRow("unknown format counts 32 bits")
        << QSize(9000, 9000) << int(QImage::Format_Invalid) << 100 * mib << true;
    QTest::newRow("unknown size left to the decoder")
        << QSize() << int(QImage::Format_ARGB32) << 100 * mib << false;
    QTest::newRow("largest int dimensions")
        << QSize(2147483647, 2147483647) << int(QImage::Format_RGBA64) << ~0ull << true;
}

void tst_VlContentReader_Thr::decodeLimit()
{
    QFETCH(QSize, declared);
    QFETCH(int, format);
    QFETCH(quint64, maximumCacheSize);
    QFETCH(bool, refused);

    const quint64 limit = VlContentReader_Thr::decodeLimit(maximumCacheSize);
    QCOMPARE(limit, qMax<quint64>(256ull * 1024 * 1024, maximumCacheSize));
    QCOMPARE(
        VlContentReader_Thr::exceedsDecodeLimit(declared, QImage::Format(format), limit), refused);
}

namespace {

// Two versions of a content file, differing in their bytes and in the size they read to.
bool writeVersion(const QString &file, int version)
{
    if (file.endsWith(QLatin1String(".pdf")))
        return TestPdf::writePdf(file, 1, version);
    return TestContent::pattern(QSize(20 + 10 * version, 10 + 5 * version)).save(file);
}

QSize versionSize(const QString &file, int version)
{
    if (file.endsWith(QLatin1String(".pdf")))
        return TestPdf::pageSize(version);
    return QSize(20 + 10 * version, 10 + 5 * version);
}

} // namespace

void tst_VlContentReader_Thr::replacedAfterReadIsDroppedAtNextPass_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("replace");

    QTest::newRow("image replaced") << "replaced.png" << true;
    QTest::newRow("image unchanged") << "unchanged.png" << false;
    QTest::newRow("pdf replaced") << "replaced.pdf" << true;
    QTest::newRow("pdf unchanged") << "unchanged.pdf" << false;
}

void tst_VlContentReader_Thr::replacedAfterReadIsDroppedAtNextPass()
{
    // A sync tool replaces the file after the worker has read its bytes and before the cache
    // records anything. The record must carry the digest of the bytes the image came from,
    // so that the corrector's next pass sees the change and the next read gets the new file.
    QFETCH(QString, name);
    QFETCH(bool, replace);
    const QString file = path(name);
    QVERIFY(writeVersion(file, 0));

    VlContentCache *cache = VlContentCache::instance();
    VlContentCacheCorrector *corrector = cache->cacheCorrector();
    corrector->stop(); // its timer would run a pass of its own while the test waits

    VlContentReader_Thr worker(file, nullptr);
    bool replaced = false;
    VlContentReader_ThrProbe::setContentReadHook(&worker, [&] {
        if (replace)
            replaced = writeVersion(file, 1);
    });
    QSignalSpy ready(&worker, &VlContentReader_Thr::readyContent);
    QSignalSpy finished(&worker, &VlContentReader_Thr::finished);
    worker.read(0, QSize());
    QVERIFY(finished.wait(10000));
    QCOMPARE(ready.count(), 1);
    QCOMPARE(replaced, replace);
    QCOMPARE(cache->getImage(file, 0)->size(), versionSize(file, 0));

    // Switched on as its thread left it, with the timer running again after the pass.
    corrector->setEnabled(true);
    corrector->correct();
    QCOMPARE(cache->contains(file, 0), !replace);
    QCOMPARE(cache->getContentPageCount(file), replace ? 0 : 1);

    VlContentReader_ThrProbe::setContentReadHook(&worker, nullptr);
    worker.read(0, QSize());
    QVERIFY(finished.wait(10000));
    QCOMPARE(ready.count(), 2);
    QCOMPARE(cache->getImage(file, 0)->size(), versionSize(file, replace ? 1 : 0));
}

void tst_VlContentReader_Thr::pageCountKeptWhenRecordDroppedDuringRender_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<bool>("readBefore");
    QTest::addColumn<bool>("clear");

    QTest::newRow("last page, cleared") << -1 << false << true;
    QTest::newRow("last page, dropped as changed") << -1 << false << false;
    QTest::newRow("middle page, cleared") << 1 << false << true;
    QTest::newRow("page of a known document, cleared") << -1 << true << true;
    QTest::newRow("page of a known document, dropped as changed") << 2 << true << false;
}

void tst_VlContentReader_Thr::pageCountKeptWhenRecordDroppedDuringRender()
{
    // The host clears the cache, or the corrector drops the document as changed, while a
    // page is being drawn. The page stored afterwards must sit in a record that knows the
    // document's page count, or -1 and the page count are answered wrongly.
    QFETCH(int, page);
    QFETCH(bool, readBefore);
    QFETCH(bool, clear);

    const QString file = path("dropped-during-render.pdf");
    QVERIFY(TestPdf::writePdf(file, 3));
    VlContentCache *cache = VlContentCache::instance();
    VlContentReader_Thr worker(file, nullptr);
    QSignalSpy ready(&worker, &VlContentReader_Thr::readyContent);
    QSignalSpy finished(&worker, &VlContentReader_Thr::finished);
    if (readBefore) {
        worker.read(0, QSize());
        QVERIFY(finished.wait(10000));
        QCOMPARE(cache->getContentPageCount(file), 3);
    }

    // The worker lives in this thread, so a direct connection runs between the recording
    // of the page count and the drawing of the page.
    const auto drop = connect(
        &worker, &VlContentReader_Thr::gotContentPageCount, this,
        [&] {
            if (clear)
                cache->clearAll();
            else
                cache->removeUriIfNotMatchHash(file, QStringLiteral("not the recorded digest"));
        },
        Qt::DirectConnection);
    worker.read(page, QSize());
    QVERIFY(finished.wait(10000));
    disconnect(drop);

    QCOMPARE(ready.count(), readBefore ? 2 : 1);
    QCOMPARE(cache->getContentPageCount(file), 3);
    const auto image = cache->getImage(file, page);
    QVERIFY(image);
    QCOMPARE(image->size(), TestPdf::pageSize(page == -1 ? 2 : page));
    QVERIFY(cache->contains(file, page));
}

void tst_VlContentReader_Thr::laterPageKeepsDigestOfItsBytes_data()
{
    QTest::addColumn<bool>("clear");
    QTest::addColumn<bool>("replace");

    QTest::newRow("cleared, then replaced") << true << true;
    QTest::newRow("dropped as changed, then replaced") << false << true;
    QTest::newRow("cleared, unchanged") << true << false;
}

void tst_VlContentReader_Thr::laterPageKeepsDigestOfItsBytes()
{
    // A later page of a known document skips hashing its bytes. When the record goes while
    // the page is drawn and the file is replaced meanwhile, the record made for the page must
    // still carry the digest of the bytes the page came from, not of the new file.
    QFETCH(bool, clear);
    QFETCH(bool, replace);

    const QString file = path("later-page.pdf");
    QVERIFY(TestPdf::writePdf(file, 3, 0));
    VlContentCache *cache = VlContentCache::instance();
    VlContentCacheCorrector *corrector = cache->cacheCorrector();
    corrector->stop();

    VlContentReader_Thr worker(file, nullptr);
    QSignalSpy ready(&worker, &VlContentReader_Thr::readyContent);
    QSignalSpy finished(&worker, &VlContentReader_Thr::finished);
    worker.read(0, QSize());
    QVERIFY(finished.wait(10000));

    bool replaced = false;
    const auto drop = connect(
        &worker, &VlContentReader_Thr::gotContentPageCount, this,
        [&] {
            if (clear)
                cache->clearAll();
            else
                cache->removeUriIfNotMatchHash(file, QStringLiteral("not the recorded digest"));
            if (replace)
                replaced = TestPdf::writePdf(file, 3, 1);
        },
        Qt::DirectConnection);
    worker.read(1, QSize());
    QVERIFY(finished.wait(10000));
    disconnect(drop);
    QCOMPARE(ready.count(), 2);
    QCOMPARE(replaced, replace);
    QCOMPARE(cache->getImage(file, 1)->size(), TestPdf::pageSize(1));

    corrector->setEnabled(true);
    corrector->correct();
    QCOMPARE(cache->contains(file, 1), !replace);
}

void tst_VlContentReader_Thr::controllerWhoseThreadNeverStarted()
{
    // A stack below the platform's minimum makes QThread::start fail, as thread limits do.
    VlContentReader_Ctrl::setWorkerStackSize(1);
    {
        VlContentReader_Ctrl controller(path("small.png"), nullptr);
        Journal journal(&controller);
        controller.read(2, QSize());
        controller.read(0, QSize());
        QTRY_COMPARE(journal.count("failed"), 2);
        QCOMPARE(journal.results(),
            QStringList({"failed 2 -1x-1 The reader thread could not be started.",
                "failed 0 -1x-1 The reader thread could not be started."}));
    } // deleted with its worker, which never had a thread to end in
    VlContentReader_Ctrl::setWorkerStackSize(0);
}

QTEST_MAIN(tst_VlContentReader_Thr)
#include "tst_vlcontentreader_thr.moc"
