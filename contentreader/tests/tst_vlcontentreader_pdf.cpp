#include <VlContentReader.h>
#include <VlExclusiveLocker.h>
#include <VlPdf.h>
#include <VlPdfAsync.h>

#include "testcontent.h"
#include "testpdf.h"
#include <pdffixtures.h>

#include <QDir>
#include <QImageReader>
#include <QMutexLocker>
#include <QPainter>
#include <QPdfWriter>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

using namespace Vela;

namespace {

const char rawDataLine[] = "Raw PDF data deleted.";

std::atomic<int> rawDataLines {0};
std::atomic<int> rawDataLinesWithContext {0};
QtMessageHandler testLogHandler = nullptr;

// Runs in the worker threads too. Debug output is swallowed: the locker writes a line for
// every unlock, which would drown the test log.
void countingHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg) {
        if (text == QLatin1String(rawDataLine)) {
            ++rawDataLines;
            if (context.file || context.line || context.function)
                ++rawDataLinesWithContext;
        }
        return;
    }
    if (testLogHandler)
        testLogHandler(type, context, text);
}

// What the facade reports for a set of uris, in arrival order, as short lines.
class Journal : public QObject
{
public:
    explicit Journal(VlContentReader *reader, const QStringList &uris)
        : uris(uris)
    {
        connect(reader, &VlContentReader::gotContentPageCount, this,
            [this](const QString &uri, int count) {
                add(uri, QStringLiteral("count %1").arg(count));
            });
        connect(reader, &VlContentReader::readyContent, this,
            [this](const QString &uri, int page, const QSize &size) {
                add(uri,
                    QStringLiteral("ready %1 %2x%3")
                        .arg(page)
                        .arg(size.width())
                        .arg(size.height()));
                ++results;
            });
        connect(reader, &VlContentReader::failedToRead, this,
            [this](const QString &uri, int page, const QString &message) {
                add(uri, QStringLiteral("failed %1 %2").arg(page).arg(message));
                ++results;
            });
    }

    bool waitForResults(int expected, int timeout = 20000)
    {
        return QTest::qWaitFor([&] { return results >= expected; }, timeout);
    }

    QStringList linesOf(const QString &uri) const { return perUri.value(uri); }

    QStringList all;
    int results = 0;

private:
    void add(const QString &uri, const QString &line)
    {
        if (!uris.contains(uri))
            return;
        all << line;
        perUri[uri] << line;
    }

    QStringList uris;
    QMap<QString, QStringList> perUri;
};

bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) <= 3 && qAbs(qGreen(a) - qGreen(b)) <= 3
        && qAbs(qBlue(a) - qBlue(b)) <= 3 && qAlpha(a) == qAlpha(b);
}

} // namespace

class tst_VlContentReaderPdf : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void initTestCase();
    void init();
    void cleanupTestCase();

    void pageReadAtNaturalSize_data();
    void pageReadAtNaturalSize();
    void drawingsDrawnAtTheRequestedSizeWhenAsked_data();
    void drawingsDrawnAtTheRequestedSizeWhenAsked();
    void failuresReportTheirOwnMessage_data();
    void failuresReportTheirOwnMessage();
    void transparentAreasStoredWhite();
    void flattenedPageMatchesTheReferenceDrawing();
    void documentsReadConcurrently();
    void oneDocumentUnderTwoSpellings();
    void changedDocumentReadAgainAfterCorrectorDropsIt();

private:
    QString path(const QString &name) const { return QDir(folder).filePath(name); }

    QTemporaryDir dir;
    // One folder for each way of drawing, so that the second run starts from no files.
    QString folder;
    QPointer<VlContentReader> reader;
};

// Every test runs twice: pages drawn in the reader's threads, and by render processes,
// which must look exactly the same to a caller.
void tst_VlContentReaderPdf::initTestCase_data()
{
    QTest::addColumn<int>("renderProcesses");
    QTest::newRow("in-process") << 0;
#ifdef Q_OS_LINUX
    QTest::newRow("render processes") << 2;
#endif
}

void tst_VlContentReaderPdf::initTestCase()
{
    QVERIFY(dir.isValid());
    VlPdf probe;
    if (!probe.isLibraryLoaded())
        QFAIL("PDFium is not beside the test executable");
    testLogHandler = qInstallMessageHandler(countingHandler);
    reader = VlContentReader::globalInstance();
    QVERIFY(reader);
}

void tst_VlContentReaderPdf::init()
{
    VlContentReader::setDrawAtRequestedSize(false);
    QFETCH_GLOBAL(int, renderProcesses);
    VlContentReader::setPdfRenderProcesses(renderProcesses);
    folder = dir.filePath(QStringLiteral("processes-%1").arg(renderProcesses));
    QVERIFY(QDir().mkpath(folder));
    VlContentReader::clearAllCache();
    rawDataLines = 0;
}

void tst_VlContentReaderPdf::cleanupTestCase()
{
    QCOMPARE(rawDataLinesWithContext.load(), 0);
    QSignalSpy destroyed(reader.data(), &QObject::destroyed);
    VlContentReader::quit();
    QVERIFY(destroyed.wait(10000) || reader.isNull());
    QVERIFY(reader.isNull());
    qInstallMessageHandler(testLogHandler);
}

void tst_VlContentReaderPdf::pageReadAtNaturalSize_data()
{
    QTest::addColumn<int>("pages");
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("stored");

    QTest::newRow("single page") << 1 << 0 << 0;
    QTest::newRow("first of three") << 3 << 0 << 0;
    QTest::newRow("middle of three") << 3 << 1 << 1;
    QTest::newRow("last of three") << 3 << 2 << 2;
    QTest::newRow("-1 of two is page 1") << 2 << -1 << 1;
    QTest::newRow("-1 of one is page 0") << 1 << -1 << 0;
    QTest::newRow("-1 of seven is page 6") << 7 << -1 << 6;
}

void tst_VlContentReaderPdf::pageReadAtNaturalSize()
{
    QFETCH(int, pages);
    QFETCH(int, page);
    QFETCH(int, stored);

    const QString uri = path(QStringLiteral("pages-%1.pdf").arg(QTest::currentDataTag()));
    QVERIFY(TestPdf::writePdf(uri, pages));

    Journal journal(reader, {uri});
    VlContentReader::read(uri, page, QSize(40, 30));
    QVERIFY(journal.waitForResults(1));
    // The count is known, and announced, before the page's own result.
    QCOMPARE(journal.all,
        QStringList(
            {QStringLiteral("count %1").arg(pages), QStringLiteral("ready %1 -1x-1").arg(page)}));
    QCOMPARE(rawDataLines.load(), 1);

    const auto image = VlContentReader::getImage(uri, stored);
    QVERIFY(image);
    QCOMPARE(image->size(), TestPdf::pageSize(stored));
    QCOMPARE(image->format(), QImage::Format_ARGB32);
    const QRgb colour = TestPdf::pageColour(stored).rgba();
    QVERIFY(near(image->pixel(image->width() * 3 / 4, image->height() * 3 / 4), colour));
    QCOMPARE(VlContentReader::getImage(uri, page), image);
    QCOMPARE(VlContentReader::getContentPageCount(uri), pages);
    QCOMPARE(VlContentReader::getCachedSize(), quint64(image->sizeInBytes()));
    if (stored != 0)
        QCOMPARE(VlContentReader::getImage(uri, 0), nullptr);

    // Answered from the cache: no count, no file read.
    journal.all.clear();
    VlContentReader::read(uri, stored);
    QVERIFY(journal.waitForResults(2));
    QCOMPARE(journal.all, QStringList({QStringLiteral("ready %1 -1x-1").arg(stored)}));
    QCOMPARE(rawDataLines.load(), 1);
    QCOMPARE(VlContentReader::getImage(uri, stored), image);
}

void tst_VlContentReaderPdf::drawingsDrawnAtTheRequestedSizeWhenAsked_data()
{
    QTest::addColumn<bool>("on");
    QTest::addColumn<QString>("kind"); // pdf (page 1: 140 x 100 points), poster, svg, png
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<QSize>("drawn"); // invalid: refused
    QTest::addColumn<QString>("answered"); // the size in the answer

    QTest::newRow("off: the page at natural size")
        << false << "pdf" << QSize(420, 420) << QSize(140, 100) << "-1x-1";
    QTest::newRow("page drawn larger to fit")
        << true << "pdf" << QSize(420, 420) << QSize(420, 300) << "420x420";
    QTest::newRow("page drawn smaller to fit")
        << true << "pdf" << QSize(70, 70) << QSize(70, 50) << "70x70";
    QTest::newRow("no requested size: natural")
        << true << "pdf" << QSize() << QSize(140, 100) << "-1x-1";
    QTest::newRow("off: a poster page is refused for its size")
        << false << "poster" << QSize(2000, 2000) << QSize() << "-1x-1";
    QTest::newRow("a poster page drawn to fit is not refused")
        << true << "poster" << QSize(2000, 2000) << QSize(2000, 2000) << "2000x2000";
    QTest::newRow("svg drawn to fit")
        << true << "svg" << QSize(300, 300) << QSize(300, 150) << "300x300";
    QTest::newRow("off: svg at natural size")
        << false << "svg" << QSize(300, 300) << QSize(100, 50) << "-1x-1";
    QTest::newRow("raster image stays natural")
        << true << "png" << QSize(300, 300) << QSize(64, 48) << "-1x-1";
}

void tst_VlContentReaderPdf::drawingsDrawnAtTheRequestedSizeWhenAsked()
{
    QFETCH(bool, on);
    QFETCH(QString, kind);
    QFETCH(QSize, requested);
    QFETCH(QSize, drawn);
    QFETCH(QString, answered);

    const QString uri = path(QStringLiteral("sized-%1.%2")
                                 .arg(QTest::currentDataTag())
                                 .arg(kind == "poster" ? QStringLiteral("pdf") : kind));
    int page = 0;
    if (kind == "pdf") {
        QVERIFY(TestPdf::writePdf(uri, 2));
        page = 1;
    } else if (kind == "poster") {
        TestPdf::writePosterPdf(uri);
    } else if (kind == "svg") {
        if (!QImageReader::supportedImageFormats().contains("svg"))
            QSKIP("no SVG image plugin");
        QVERIFY(TestContent::writeFile(uri,
            "<svg xmlns='http://www.w3.org/2000/svg' width='100' height='50'>"
            "<rect width='100' height='50' fill='#0000ff'/></svg>"));
    } else {
        QImage picture(64, 48, QImage::Format_RGB32);
        picture.fill(Qt::darkGreen);
        QVERIFY(picture.save(uri));
    }

    VlContentReader::setDrawAtRequestedSize(on);
    QCOMPARE(VlContentReader::drawAtRequestedSize(), on);
    Journal journal(reader, {uri});
    VlContentReader::read(uri, page, requested);
    QVERIFY(journal.waitForResults(1));
    const QString result = journal.all.constLast();
    if (!drawn.isValid()) {
        QCOMPARE(
            result, QStringLiteral("failed %1 Cannot get a image from the pdf file.").arg(page));
        return;
    }
    QCOMPARE(result, QStringLiteral("ready %1 %2").arg(page).arg(answered));
    // Stored under the size key of the answer: the natural-size lookup finds it only when
    // that is the natural key.
    const auto image = VlContentReader::getImageLarge(uri, page, QSize());
    QVERIFY(image);
    QCOMPARE(image->size(), drawn);
    QCOMPARE(VlContentReader::getImage(uri, page) == image, answered == "-1x-1");
    // Drawn, not scaled: the far corner has the page's colour, not a blur towards white.
    if (kind == "pdf")
        QVERIFY(near(image->pixel(image->width() - 2, image->height() - 2),
            TestPdf::pageColour(page).rgba()));

    // A second read at that size is answered from the cache, with the same answer.
    journal.all.clear();
    VlContentReader::read(uri, page, requested);
    QVERIFY(journal.waitForResults(2));
    QCOMPARE(journal.all.constLast(), result);
    QCOMPARE(VlContentReader::getImageLarge(uri, page, QSize()), image);
}

void tst_VlContentReaderPdf::failuresReportTheirOwnMessage_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("announcedCount"); // -1: no count announced
    QTest::addColumn<int>("rawLines");

    const QString over = "The specified page index is over page count. The page count is 2.";
    const QString format = "The pdf file cannot be opened.";
    QTest::newRow("page equal to the count") << "two pages" << 2 << over << 2 << 1;
    QTest::newRow("page far past the count") << "two pages" << 9 << over << 2 << 1;
    QTest::newRow("zero-byte file") << "empty" << 0 << format << -1 << 1;
    QTest::newRow("damaged file") << "damaged" << 0 << format << -1 << 1;
    QTest::newRow("encrypted file") << "encrypted" << 0 << format << -1 << 1;
    QTest::newRow("not a document at all") << "text" << 0 << format << -1 << 1;
    QTest::newRow("folder named like a document")
        << "folder" << 0 << "The pdf file can not be opened." << -1 << 0;
    QTest::newRow("missing file") << "missing" << 0 << "The file does not exist." << -1 << 0;
    QTest::newRow("page below -1")
        << "two pages" << -2 << "pageIndex must be -1 or grater." << -1 << 0;
    QTest::newRow("page too large to draw")
        << "giant page" << 0 << "Cannot get a image from the pdf file." << 1 << 1;
    QTest::newRow("larger than memory can hold")
        << "huge" << 0 << "An error occured while reading the pdf file." << -1 << 1;
}

void tst_VlContentReaderPdf::failuresReportTheirOwnMessage()
{
    QFETCH(QString, kind);
    QFETCH(int, page);
    QFETCH(QString, message);
    QFETCH(int, announcedCount);
    QFETCH(int, rawLines);

    const QString uri = path(QStringLiteral("failing-%1.pdf").arg(QTest::currentDataTag()));
    const QString valid = path(QStringLiteral("valid-%1.pdf").arg(QTest::currentDataTag()));
    QVERIFY(TestPdf::writePdf(valid, 2));
    if (kind == "two pages") {
        QVERIFY(QFile::copy(valid, uri));
    } else if (kind == "empty") {
        QVERIFY(TestContent::writeFile(uri, QByteArray()));
    } else if (kind == "damaged") {
        QVERIFY(TestContent::writeFile(uri, TestPdf::damaged(valid)));
    } else if (kind == "encrypted") {
        if (!TestPdf::writeEncrypted(valid, uri))
            QSKIP("qpdf is not installed");
    } else if (kind == "text") {
        QVERIFY(TestContent::writeFile(uri, QByteArray("just some words, no document\n")));
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(uri));
    } else if (kind == "giant page") {
        TestPdf::writePosterPdf(uri);
    } else if (kind == "huge") {
        // Sparse: takes no room on disk, and is refused before anything is read.
        QFile file(uri);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(3ll * 1024 * 1024 * 1024));
    }

    Journal journal(reader, {uri});
    VlContentReader::read(uri, page);
    QVERIFY(journal.waitForResults(1));
    QStringList expected;
    if (announcedCount >= 0)
        expected << QStringLiteral("count %1").arg(announcedCount);
    expected << QStringLiteral("failed %1 %2").arg(page).arg(message);
    QCOMPARE(journal.all, expected);
    QCOMPARE(rawDataLines.load(), rawLines);
    QCOMPARE(VlContentReader::getCachedSize(), 0ull);
    QCOMPARE(VlContentReader::getContentPageCount(uri), qMax(announcedCount, 0));
    QCOMPARE(VlContentReader::getImage(uri, page), nullptr);
    if (kind == "huge")
        QFile::remove(uri);
}

void tst_VlContentReaderPdf::transparentAreasStoredWhite()
{
    const QString uri = path("transparent.pdf");
    QVERIFY(TestPdf::writePdf(uri, 2));

    std::unique_ptr<QImage, VlPdf::Image_Deleter> rendered;
    {
        VlPdf pdf;
        QMutexLocker globalLocker(VlPdf::globalLocker());
        QVERIFY(pdf.open(uri, QString()));
        rendered = pdf.render(1, QSize());
        pdf.close();
    }
    QVERIFY(rendered && !rendered->isNull());
    // The renderer leaves the empty quarter transparent; the stored page must not.
    QCOMPARE(qAlpha(rendered->pixel(5, 5)), 0);

    Journal journal(reader, {uri});
    VlContentReader::read(uri, 1);
    QVERIFY(journal.waitForResults(1));
    const auto stored = VlContentReader::getImage(uri, 1);
    QVERIFY(stored);
    QCOMPARE(stored->size(), rendered->size());
    QCOMPARE(stored->format(), rendered->format());

    // The page as painted over white in its own format. PDFium blends the page onto white
    // itself, rounding its edges' partly covered pixels by a unit either way.
    const auto near = [](QRgb a, QRgb b) {
        return qAbs(qRed(a) - qRed(b)) <= 1 && qAbs(qGreen(a) - qGreen(b)) <= 1
            && qAbs(qBlue(a) - qBlue(b)) <= 1 && qAlpha(a) == qAlpha(b);
    };
    QImage onWhite(rendered->size(), rendered->format());
    onWhite.fill(Qt::white);
    QPainter painter(&onWhite);
    painter.drawImage(0, 0, *rendered);
    painter.end();

    int transparent = 0;
    int partly = 0;
    for (int y = 0; y < stored->height(); ++y) {
        for (int x = 0; x < stored->width(); ++x) {
            const QRgb page = rendered->pixel(x, y);
            const QRgb kept = stored->pixel(x, y);
            QVERIFY2(near(kept, onWhite.pixel(x, y)),
                qPrintable(QStringLiteral("%1,%2: %3 against %4")
                               .arg(x)
                               .arg(y)
                               .arg(kept, 8, 16)
                               .arg(onWhite.pixel(x, y), 8, 16)));
            QCOMPARE(qAlpha(kept), 255);
            if (qAlpha(page) == 0) {
                ++transparent;
                QCOMPARE(kept, qRgb(255, 255, 255));
            } else if (qAlpha(page) == 255) {
                QCOMPARE(kept, page);
            } else {
                ++partly;
            }
        }
    }
    QVERIFY(transparent > stored->width() * stored->height() / 8);
    QVERIFY(partly > 0);
}

void tst_VlContentReaderPdf::flattenedPageMatchesTheReferenceDrawing()
{
    const QString uri = path("reference-drawing.pdf");
    QVERIFY(TestContent::writeFile(uri, PdfFixtures::drawingPdf()));

    Journal journal(reader, {uri});
    VlContentReader::read(uri, 0);
    QVERIFY(journal.waitForResults(1));
    const auto stored = VlContentReader::getImage(uri, 0);
    QVERIFY(stored);
    QCOMPARE(stored->format(), QImage::Format_ARGB32);
    QCOMPARE(stored->size(), QSize(40, 30));
    QCOMPARE(VlContentReader::getCachedSize(), quint64(40 * 30 * 4));
    // The digest of the page drawn onto white: the Qt 5 and Qt 6 builds, in-process and
    // through render processes, must store the same bytes.
    QCOMPARE(
        PdfFixtures::pixelDigest(*stored), QByteArray("68b0b8484a0154ea53f61fad542d179abd25e32a"));
}

void tst_VlContentReaderPdf::documentsReadConcurrently()
{
    // Several workers count, render and close pages at once while a threaded renderer of the
    // PDF library draws another document: every PDFium call must be serialised.
    const QList<int> pageCounts = {6, 4, 5, 3};
    QStringList uris;
    for (int i = 0; i < pageCounts.size(); ++i) {
        uris << path(QStringLiteral("concurrent-%1.pdf").arg(i));
        QVERIFY(TestPdf::writePdf(uris.last(), pageCounts.at(i), i));
    }
    const QString other = path("drawn-beside.pdf");
    QVERIFY(TestPdf::writePdf(other, 8));

    VlPdfAsync async;
    QSignalSpy started(&async, &VlPdfAsync::threadStarted);
    QSignalSpy opened(&async, &VlPdfAsync::opened);
    QSignalSpy rendered(&async, &VlPdfAsync::rendered);
    QSignalSpy asyncFailed(&async, &VlPdfAsync::failedToRender);
    async.startThread();
    QVERIFY(started.count() == 1 || started.wait(10000));
    async.open(other);
    QTRY_COMPARE_WITH_TIMEOUT(opened.count(), 1, 10000);

    Journal journal(reader, uris);
    int requests = 0;
    for (int page = 0; page < 6; ++page) {
        async.render(page % 8, QSize());
        for (int i = 0; i < uris.size(); ++i) {
            if (page < pageCounts.at(i)) {
                VlContentReader::read(uris.at(i), page);
                ++requests;
            }
        }
    }
    QVERIFY(journal.waitForResults(requests, 60000));
    QTRY_COMPARE_WITH_TIMEOUT(rendered.count() + asyncFailed.count(), 6, 20000);
    QCOMPARE(asyncFailed.count(), 0);

    for (int i = 0; i < uris.size(); ++i) {
        const QStringList lines = journal.linesOf(uris.at(i));
        for (int page = 0; page < pageCounts.at(i); ++page) {
            QVERIFY2(lines.contains(QStringLiteral("ready %1 -1x-1").arg(page)),
                qPrintable(lines.join(", ")));
            const auto image = VlContentReader::getImage(uris.at(i), page);
            QVERIFY(image);
            QCOMPARE(image->size(), TestPdf::pageSize(page + i));
        }
        QCOMPARE(lines.count(QStringLiteral("count %1").arg(pageCounts.at(i))), pageCounts.at(i));
    }
    QCOMPARE(rawDataLines.load(), requests);
}

void tst_VlContentReaderPdf::oneDocumentUnderTwoSpellings()
{
    const QString plain = path("spelled.pdf");
    const QString dotted = folder + QStringLiteral("/./spelled.pdf");
    QVERIFY(TestPdf::writePdf(plain, 4));

    // Both spellings claim the same absolute path, at the same time, in two workers.
    Journal journal(reader, {plain, dotted});
    for (int page = 0; page < 4; ++page) {
        VlContentReader::read(plain, page);
        VlContentReader::read(dotted, 3 - page);
    }
    QVERIFY(journal.waitForResults(8));
    for (const QString &uri : {plain, dotted}) {
        const QStringList lines = journal.linesOf(uri);
        QCOMPARE(lines.filter("failed").size(), 0);
        QCOMPARE(lines.filter("ready").size(), 4);
        for (int page = 0; page < 4; ++page)
            QCOMPARE(VlContentReader::getImage(uri, page)->size(), TestPdf::pageSize(page));
    }
    // Two cache records, one per spelling.
    QCOMPARE(VlContentReader::getCachedSize(),
        2
            * quint64(VlContentReader::getImage(plain, 0)->sizeInBytes()
                + VlContentReader::getImage(plain, 1)->sizeInBytes()
                + VlContentReader::getImage(plain, 2)->sizeInBytes()
                + VlContentReader::getImage(plain, 3)->sizeInBytes()));
    // Every hold of the path has ended, so a renderer waiting for it can go on.
    const QString key = QFileInfo(plain).absoluteFilePath();
    QVERIFY(VlExclusiveLocker::lock(key));
    VlExclusiveLocker::unlock(key);
}

void tst_VlContentReaderPdf::changedDocumentReadAgainAfterCorrectorDropsIt()
{
    const QString uri = path("changing.pdf");
    QVERIFY(TestPdf::writePdf(uri, 2));
    Journal journal(reader, {uri});
    VlContentReader::read(uri, 0);
    QVERIFY(journal.waitForResults(1));
    QVERIFY(VlContentReader::getImage(uri, 0));
    QCOMPARE(VlContentReader::getImage(uri, 0)->size(), TestPdf::pageSize(0));

    QVERIFY(TestPdf::writePdf(uri, 3, 4));
    // The corrector compares digests on its periodic pass, every 10 s.
    QTRY_VERIFY_WITH_TIMEOUT(!VlContentReader::getImage(uri, 0), 15000);
    QCOMPARE(VlContentReader::getContentPageCount(uri), 0);

    journal.all.clear();
    VlContentReader::read(uri, -1);
    VlContentReader::read(uri, 0);
    QVERIFY(journal.waitForResults(3));
    QCOMPARE(journal.all, QStringList({"count 3", "ready -1 -1x-1", "count 3", "ready 0 -1x-1"}));
    QCOMPARE(VlContentReader::getImage(uri, 0)->size(), TestPdf::pageSize(4));
    QCOMPARE(VlContentReader::getImage(uri, 2)->size(), TestPdf::pageSize(6));
    QCOMPARE(VlContentReader::getContentPageCount(uri), 3);
}

QTEST_MAIN(tst_VlContentReaderPdf)
#include "tst_vlcontentreader_pdf.moc"
