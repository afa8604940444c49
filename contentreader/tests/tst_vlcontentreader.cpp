#include <VlContentReader.h>

#include "testcontent.h"

#include <QDir>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace Vela;

class tst_VlContentReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void defaultLimits();
    void stillImagesAtNaturalSizeUnderPageZero_data();
    void stillImagesAtNaturalSizeUnderPageZero();
    void storedFormatAndBytesFollowTheFile_data();
    void storedFormatAndBytesFollowTheFile();
    void failuresArriveAsFailedToRead_data();
    void failuresArriveAsFailedToRead();
    void cachedContentAnsweredAfterFileIsGone();
    void largeLookupNeedsLargeEnoughImage();
    void clearAllCacheEmptiesTheCache();
    void differentSpellingsAreDifferentContents();
    void manyUrisAnsweredExactlyOnce();

private:
    QTemporaryDir dir;
    QPointer<VlContentReader> reader;
};

void tst_VlContentReader::initTestCase()
{
    QVERIFY(dir.isValid());
    reader = VlContentReader::globalInstance();
    QVERIFY(reader);
    QCOMPARE(VlContentReader::globalInstance(), reader.data());
}

void tst_VlContentReader::init()
{
    VlContentReader::clearAllCache();
}

void tst_VlContentReader::cleanupTestCase()
{
    // Ends every worker thread and the cache before the application object goes.
    QSignalSpy destroyed(reader.data(), &QObject::destroyed);
    VlContentReader::quit();
    QVERIFY(destroyed.wait(10000) || reader.isNull());
    QVERIFY(reader.isNull());
}

void tst_VlContentReader::defaultLimits()
{
    QCOMPARE(VlContentReader::getMaximumCacheSize(), 104857600ull);
    QCOMPARE(VlContentReader::getMaximumImageCount(), 20);
    QCOMPARE(VlContentReader::getMinimumImageCount(), 1);
    QCOMPARE(VlContentReader::getContentPageCount(dir.filePath("never-read.png")), 0);
    QCOMPARE(VlContentReader::getImage(dir.filePath("never-read.png")), nullptr);

    VlContentReader::setMinimumImageCount(0);
    QCOMPARE(VlContentReader::getMinimumImageCount(), 1);
    VlContentReader::setMaximumImageCount(35);
    QCOMPARE(VlContentReader::getMaximumImageCount(), 35);
    VlContentReader::setMaximumImageCount(20);
}

void tst_VlContentReader::stillImagesAtNaturalSizeUnderPageZero_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("page");
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<QSize>("natural");

    QTest::newRow("png, page 0") << "png" << 0 << QSize() << QSize(123, 77);
    QTest::newRow("jpg, page 3, sized request") << "jpg" << 3 << QSize(800, 600) << QSize(123, 77);
    QTest::newRow("bmp, last page") << "bmp" << -1 << QSize() << QSize(123, 77);
    QTest::newRow("ppm, page 1") << "ppm" << 1 << QSize(10, 10) << QSize(123, 77);
    QTest::newRow("gif from a tiny file") << "gif" << 0 << QSize() << QSize(40, 30);
    // 151 MiB decoded: within the reader's limit, past the one Qt 6 applies by default.
    QTest::newRow("png larger than 128 MiB") << "png" << 0 << QSize() << QSize(6600, 6000);
}

void tst_VlContentReader::stillImagesAtNaturalSizeUnderPageZero()
{
    QFETCH(QString, format);
    QFETCH(int, page);
    QFETCH(QSize, requested);
    QFETCH(QSize, natural);

    const QString file
        = dir.filePath(QStringLiteral("still-%1.%2").arg(QTest::currentDataTag()).arg(format));
    if (format == "gif") {
        QVERIFY(TestContent::writeFile(
            file, TestContent::gifDeclaring(natural.width(), natural.height())));
    } else if (natural.width() > 1000) {
        // Plain and quickly compressed: drawing and squeezing one this large only costs time.
        QImage plain(natural, QImage::Format_RGB32);
        plain.fill(Qt::darkCyan);
        QVERIFY(plain.save(file, format.toLatin1(), 80));
    } else {
        QVERIFY(TestContent::pattern(natural).save(file, format.toLatin1()));
    }

    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    QSignalSpy failed(reader.data(), &VlContentReader::failedToRead);
    VlContentReader::read(file, page, requested);
    // A 151 MiB decode under the sanitizers on a busy machine takes several seconds.
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 60000);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(ready.at(0).at(0).toString(), file);
    QCOMPARE(ready.at(0).at(1).toInt(), page);
    QCOMPARE(ready.at(0).at(2).toSize(), QSize());

    const auto image = VlContentReader::getImage(file, 0);
    QVERIFY(image);
    QCOMPARE(image->size(), natural);
    QCOMPARE(VlContentReader::getImage(file, 5), image);
    QCOMPARE(VlContentReader::getImage(file, page), image);
    QCOMPARE(VlContentReader::getContentPageCount(file), 1);
    QCOMPARE(VlContentReader::getCachedSize(), quint64(image->sizeInBytes()));
}

void tst_VlContentReader::storedFormatAndBytesFollowTheFile_data()
{
    QTest::addColumn<QString>("fileFormat");
    QTest::addColumn<int>("written");
    QTest::addColumn<int>("stored");
    QTest::addColumn<quint64>("bytes");

    // A 13 x 7 picture; the cache keeps what the decoder gives, in the same format and byte
    // count with Qt 5 and Qt 6 (lines padded to 4 bytes).
    QTest::newRow("png with alpha")
        << "png" << int(QImage::Format_ARGB32) << int(QImage::Format_ARGB32) << quint64(52 * 7);
    QTest::newRow("opaque png") << "png" << int(QImage::Format_RGB32) << int(QImage::Format_RGB32)
                                << quint64(52 * 7);
    QTest::newRow("grey png") << "png" << int(QImage::Format_Grayscale8)
                              << int(QImage::Format_Grayscale8) << quint64(16 * 7);
    QTest::newRow("16-bit png") << "png" << int(QImage::Format_RGBA64) << int(QImage::Format_RGBA64)
                                << quint64(104 * 7);
    QTest::newRow("palette png") << "png" << int(QImage::Format_Indexed8)
                                 << int(QImage::Format_Indexed8) << quint64(16 * 7);
    QTest::newRow("jpeg") << "jpg" << int(QImage::Format_RGB32) << int(QImage::Format_RGB32)
                          << quint64(52 * 7);
    QTest::newRow("bmp") << "bmp" << int(QImage::Format_RGB32) << int(QImage::Format_RGB32)
                         << quint64(52 * 7);
}

void tst_VlContentReader::storedFormatAndBytesFollowTheFile()
{
    QFETCH(QString, fileFormat);
    QFETCH(int, written);
    QFETCH(int, stored);
    QFETCH(quint64, bytes);

    const QString file = dir.filePath(QStringLiteral("format-%1.%2")
                                          .arg(QString::fromLatin1(QTest::currentDataTag()))
                                          .arg(fileFormat)
                                          .replace(QLatin1Char(' '), QLatin1Char('-')));
    const QImage picture = TestContent::pattern(QSize(13, 7))
                               .convertToFormat(QImage::Format(written), Qt::ThresholdDither);
    QVERIFY(picture.save(file, fileFormat.toLatin1()));

    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    VlContentReader::read(file, 0);
    QTRY_COMPARE(ready.count(), 1);
    const auto image = VlContentReader::getImage(file, 0);
    QVERIFY(image);
    QCOMPARE(image->format(), QImage::Format(stored));
    QCOMPARE(quint64(image->sizeInBytes()), bytes);
    QCOMPARE(VlContentReader::getCachedSize(), bytes);
}

void tst_VlContentReader::failuresArriveAsFailedToRead_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing") << "gone.png" << QByteArray() << 0 << "The file does not exist.";
    QTest::newRow("bad page") << "bad-page.png" << QByteArray("x") << -7
                              << "pageIndex must be -1 or grater.";
    QTest::newRow("unsupported") << "movie.mp4" << QByteArray("x") << 0
                                 << "The content type is unsupported.";
    QTest::newRow("huge declared size") << "bomb.png" << TestContent::pngDeclaring(100000, 100000)
                                        << 0 << "An error occured while reading the image file.";
}

void tst_VlContentReader::failuresArriveAsFailedToRead()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, page);
    QFETCH(QString, message);

    const QString file = dir.filePath(name);
    if (!content.isNull())
        QVERIFY(TestContent::writeFile(file, content));
    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    QSignalSpy failed(reader.data(), &VlContentReader::failedToRead);
    VlContentReader::read(file, page, QSize(64, 64));
    QTRY_COMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0), QList<QVariant>({file, page, message, QSize()}));
    QCOMPARE(ready.count(), 0);
    QCOMPARE(VlContentReader::getCachedSize(), 0ull);
}

void tst_VlContentReader::cachedContentAnsweredAfterFileIsGone()
{
    const QString file = dir.filePath("short-lived.png");
    QVERIFY(TestContent::pattern(QSize(30, 20)).save(file));
    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    QSignalSpy failed(reader.data(), &VlContentReader::failedToRead);
    VlContentReader::read(file);
    QTRY_COMPARE(ready.count(), 1);
    QVERIFY(QFile::remove(file));

    VlContentReader::read(file, 2);
    QTRY_COMPARE(ready.count(), 2);
    QCOMPARE(ready.at(1).at(1).toInt(), 2);
    QCOMPARE(failed.count(), 0);
}

void tst_VlContentReader::largeLookupNeedsLargeEnoughImage()
{
    const QString file = dir.filePath("large-lookup.png");
    QVERIFY(TestContent::pattern(QSize(200, 100)).save(file));
    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    VlContentReader::read(file);
    QTRY_COMPARE(ready.count(), 1);
    const auto image = VlContentReader::getImage(file);

    const QList<QPair<QSize, bool>> cases
        = {{QSize(200, 100), true}, {QSize(50, 50), true}, {QSize(-1, 100), true}, {QSize(), true},
            {QSize(201, 100), false}, {QSize(200, 101), false}};
    for (const auto &c : cases) {
        const auto large = VlContentReader::getImageLarge(file, 0, c.first);
        QCOMPARE(large, c.second ? image : nullptr);
        QCOMPARE(VlContentReader::getImageExactSize(file, 0, c.first), large);
    }
    QCOMPARE(VlContentReader::getImage(file, 0), image);
}

void tst_VlContentReader::clearAllCacheEmptiesTheCache()
{
    const QString file = dir.filePath("cleared.png");
    QVERIFY(TestContent::pattern(QSize(16, 16)).save(file));
    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    VlContentReader::read(file);
    QTRY_COMPARE(ready.count(), 1);
    const auto held = VlContentReader::getImage(file);
    QVERIFY(held);
    QVERIFY(VlContentReader::getCachedSize() > 0);

    VlContentReader::clearAllCache();
    QCOMPARE(VlContentReader::getCachedSize(), 0ull);
    QCOMPARE(VlContentReader::getImage(file), nullptr);
    QCOMPARE(VlContentReader::getContentPageCount(file), 0);
    QCOMPARE(held->size(), QSize(16, 16)); // a caller's image outlives the cache's record
}

void tst_VlContentReader::differentSpellingsAreDifferentContents()
{
    const QString file = dir.filePath("spelled.png");
    QVERIFY(TestContent::pattern(QSize(8, 8)).save(file));
    const QString other = dir.path() + "/./spelled.png";
    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    VlContentReader::read(file);
    VlContentReader::read(other);
    QTRY_COMPARE(ready.count(), 2);
    QVERIFY(VlContentReader::getImage(file));
    QVERIFY(VlContentReader::getImage(other));
    QVERIFY(VlContentReader::getImage(file) != VlContentReader::getImage(other));
    QCOMPARE(VlContentReader::getCachedSize(), 2ull * 8 * 8 * 4);
}

void tst_VlContentReader::manyUrisAnsweredExactlyOnce()
{
    // 200 distinct uris, most asked twice and every tenth three times, all from this thread
    // while their workers start, read and answer from the cache in parallel.
    const int uris = 200;
    VlContentReader::setMaximumImageCount(0);
    QStringList files;
    for (int i = 0; i < uris; ++i) {
        const QString file
            = dir.filePath(QStringLiteral("many-%1.png").arg(i, 3, 10, QLatin1Char('0')));
        QVERIFY(TestContent::pattern(QSize(8 + i % 13, 8 + i % 7)).save(file));
        files << file;
    }

    QSignalSpy ready(reader.data(), &VlContentReader::readyContent);
    QSignalSpy failed(reader.data(), &VlContentReader::failedToRead);
    QHash<QString, int> asked;
    int total = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < uris; ++i) {
            if (round == 2 && i % 10 != 0)
                continue;
            VlContentReader::read(files.at(i), round);
            ++asked[files.at(i)];
            ++total;
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), total, 60000);
    QCOMPARE(failed.count(), 0);

    QHash<QString, int> answered;
    for (const auto &args : qAsConst(ready))
        ++answered[args.at(0).toString()];
    QCOMPARE(answered, asked);

    quint64 sum = 0;
    for (const QString &file : qAsConst(files)) {
        const auto image = VlContentReader::getImage(file);
        QVERIFY(image);
        sum += image->sizeInBytes();
    }
    QCOMPARE(VlContentReader::getCachedSize(), sum);

    // Nothing more arrives once every request has had its answer.
    QTest::qWait(200);
    QCOMPARE(ready.count(), total);
    VlContentReader::setMaximumImageCount(20);
}

QTEST_MAIN(tst_VlContentReader)
#include "tst_vlcontentreader.moc"
