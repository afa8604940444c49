#include <VlContentReader.h>

#include "testcontent.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace Vela;

// quit() can be called once per process, so it has a test program of its own; the process
// then ends under LeakSanitizer in the sanitizer build.
class tst_VlContentReaderQuit : public QObject
{
    Q_OBJECT

private slots:
    void quitWithReadsInFlight();
    void staticCallsAfterQuitAreHarmless();

private:
    QTemporaryDir dir;
};

void tst_VlContentReaderQuit::quitWithReadsInFlight()
{
    QVERIFY(dir.isValid());
    QStringList files;
    for (int i = 0; i < 24; ++i) {
        const QString file = dir.filePath(QStringLiteral("busy-%1.png").arg(i));
        QVERIFY(TestContent::pattern(QSize(900 + i, 700)).save(file));
        files << file;
    }

    QPointer<VlContentReader> reader = VlContentReader::globalInstance();
    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    for (const QString &file : qAsConst(files)) {
        VlContentReader::read(file);
        VlContentReader::read(file, 1);
    }
    // Some workers are reading, some still starting, most requests still queued.
    QVERIFY(ready.wait(20000));
    QVERIFY(ready.count() < 2 * files.size());

    VlContentReader::quit();
    // Still the same object until the scheduled deletion has run.
    QCOMPARE(VlContentReader::globalInstance(), reader.data());
    VlContentReader::quit(); // a second call changes nothing
    QTRY_VERIFY_WITH_TIMEOUT(reader.isNull(), 30000);
}

void tst_VlContentReaderQuit::staticCallsAfterQuitAreHarmless()
{
    const QString file = dir.filePath("busy-0.png");
    QCOMPARE(VlContentReader::globalInstance(), nullptr);
    VlContentReader::read(file);
    VlContentReader::read(dir.filePath("new-after-quit.png"), 0, QSize(10, 10));
    QCOMPARE(VlContentReader::getImage(file), nullptr);
    QCOMPARE(VlContentReader::getImageLarge(file, 0, QSize()), nullptr);
    QCOMPARE(VlContentReader::getImageExactSize(file, 0, QSize()), nullptr);
    QCOMPARE(VlContentReader::getContentPageCount(file), 0);
    QCOMPARE(VlContentReader::getCachedSize(), 0ull);
    VlContentReader::clearAllCache();
    VlContentReader::setMaximumCacheSize(1);
    VlContentReader::setMaximumImageCount(1);
    VlContentReader::setMinimumImageCount(5);
    QCOMPARE(VlContentReader::getMaximumCacheSize(), 0ull);
    QCOMPARE(VlContentReader::getMaximumImageCount(), 0);
    QCOMPARE(VlContentReader::getMinimumImageCount(), 0);
    VlContentReader::quit();
    // Let any late deletion or stray timer run before the process ends.
    QTest::qWait(50);
}

QTEST_MAIN(tst_VlContentReaderQuit)
#include "tst_vlcontentreader_quit.moc"
