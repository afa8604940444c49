// Runs vela-content as a process, the way README's main job and a player's scripts do.
#include "testcontent.h"
#include "testpdf.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

class tst_VelaContent : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writesEveryRequestedPage_data();
    void writesEveryRequestedPage();
    void reportsFailuresWithTheReadersMessage_data();
    void reportsFailuresWithTheReadersMessage();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void readsTheBundledSamplesWhenAsked();
    void passesCacheLimitsThrough();
    void writesEveryPageOfALongDocument_data();
    void writesEveryPageOfALongDocument();
    void jsonDescribesEveryPageThenASummary_data();
    void jsonDescribesEveryPageThenASummary();
    void quietPrintsOnlyFailures();
    void answersWithoutReading_data();
    void answersWithoutReading();
    void neverOverwritesPagesOfTheSameBaseName();
    void rejectsAnUnusableOutputFolder_data();
    void rejectsAnUnusableOutputFolder();
    void showsProgressOnlyWhereStandardErrorIsATerminal_data();
    void showsProgressOnlyWhereStandardErrorIsATerminal();
    void stopsCleanlyOnASignal_data();
    void stopsCleanlyOnASignal();
    void keepsWritingWhenTheListingIsNotRead();
    void readsAFileWhoseNameIsNotText();

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run run(const QStringList &args, const QString &outDir);
    QStringList pngNames(const QString &outDir) const;
    QStringList inTestDir(const QStringList &args) const;

    QTemporaryDir m_dir;
    QString m_tool;
};

void tst_VelaContent::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tool = QCoreApplication::applicationDirPath() + QStringLiteral("/" VELA_CONTENT_FILE_NAME);
    QVERIFY2(QFileInfo(m_tool).isExecutable(), qPrintable(m_tool));

    QImage png(64, 48, QImage::Format_ARGB32);
    png.fill(QColor(10, 200, 30, 128));
    QVERIFY(png.save(m_dir.filePath("picture.png")));
    QImage jpeg(100, 80, QImage::Format_RGB32);
    jpeg.fill(Qt::darkBlue);
    QVERIFY(jpeg.save(m_dir.filePath("photo.jpg")));

    // Three pages of distinct sizes in points; at 72 dpi their natural size in pixels is the
    // same number.
    QPdfWriter pdf(m_dir.filePath("doc.pdf"));
    pdf.setResolution(72);
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
    pdf.setPageSize(QPageSize(QSizeF(200, 100), QPageSize::Point));
    {
        QPainter p(&pdf);
        p.fillRect(QRect(10, 10, 50, 50), Qt::red);
        pdf.setPageSize(QPageSize(QSizeF(300, 150), QPageSize::Point));
        pdf.newPage();
        p.fillRect(QRect(10, 10, 50, 50), Qt::green);
        pdf.setPageSize(QPageSize(QSizeF(120, 240), QPageSize::Point));
        pdf.newPage();
        p.fillRect(QRect(10, 10, 50, 50), Qt::blue);
    }

    QFile notes(m_dir.filePath("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("not content\n");
    notes.close();

    // One page that would keep PDFium drawing, and allocating, for minutes.
    QVERIFY(TestPdf::writeNestedForms(m_dir.filePath("endless.pdf"), 12, 4));

    QFile damaged(m_dir.filePath("damaged.pdf"));
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer garbage\n");
    damaged.close();

    // The header declares 40 GB of pixels; an empty IDAT chunk before the end lets a reader
    // take the header for a whole image's.
    QByteArray declaring = TestContent::pngDeclaring(100000, 100000);
    char word[4];
    qToBigEndian(TestContent::crc32("IDAT"), word);
    declaring.insert(declaring.size() - 12, QByteArray(4, '\0') + "IDAT" + QByteArray(word, 4));
    QFile bomb(m_dir.filePath("bomb.png"));
    QVERIFY(bomb.open(QIODevice::WriteOnly));
    bomb.write(declaring);
    bomb.close();

    // Without a password the document cannot be opened at all.
    QProcess qpdf;
    qpdf.start(QStringLiteral("qpdf"),
        {"--encrypt", "user-secret", "owner-secret", "256", "--", m_dir.filePath("doc.pdf"),
            m_dir.filePath("encrypted.pdf")});
    if (!qpdf.waitForFinished(30000) || qpdf.exitCode() != 0)
        QFile::remove(m_dir.filePath("encrypted.pdf"));

    // A4 pages of 2 MB each when drawn: 400 of them are eight times the default byte limit
    // of the cache, and many times its image-count limit.
    QPdfWriter longDoc(m_dir.filePath("long.pdf"));
    longDoc.setResolution(72);
    longDoc.setPageMargins(QMarginsF(0, 0, 0, 0));
    longDoc.setPageSize(QPageSize(QSizeF(595, 842), QPageSize::Point));
    QPainter painter(&longDoc);
    for (int page = 0; page < 400; ++page) {
        if (page > 0)
            longDoc.newPage();
        painter.fillRect(QRect(10 + page % 300, 10, 80, 80), QColor::fromHsv(page % 360, 200, 200));
        painter.drawText(QPointF(20, 150), QStringLiteral("Page %1").arg(page + 1));
    }
}

tst_VelaContent::Run tst_VelaContent::run(const QStringList &args, const QString &outDir)
{
    QProcess process;
    QStringList all = args;
    if (!outDir.isEmpty())
        all << QStringLiteral("--out") << outDir;
    process.start(m_tool, all);
    Run result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// Arguments that name files (they have a dot) are taken from the test's folder.
QStringList tst_VelaContent::inTestDir(const QStringList &args) const
{
    QStringList absolute;
    for (const QString &arg : args)
        absolute << (arg.contains('.') && !arg.startsWith('-') ? m_dir.filePath(arg) : arg);
    return absolute;
}

QStringList tst_VelaContent::pngNames(const QString &outDir) const
{
    return QDir(outDir).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
}

void tst_VelaContent::writesEveryRequestedPage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("pngs"); // file names written, in the order of their lines
    QTest::addColumn<QList<QSize>>("sizes"); // their sizes, in the same order

    QTest::newRow("one image") << QStringList {"picture.png"} << QStringList {"picture_0.png"}
                               << QList<QSize> {{64, 48}};
    QTest::newRow("two images") << QStringList {"photo.jpg", "picture.png"}
                                << QStringList {"photo_0.png", "picture_0.png"}
                                << QList<QSize> {{100, 80}, {64, 48}};
    QTest::newRow("all pages of a document")
        << QStringList {"doc.pdf"} << QStringList {"doc_0.png", "doc_1.png", "doc_2.png"}
        << QList<QSize> {{200, 100}, {300, 150}, {120, 240}};
    QTest::newRow("last page as -1") << QStringList {"--page", "-1", "doc.pdf"}
                                     << QStringList {"doc_2.png"} << QList<QSize> {{120, 240}};
    QTest::newRow("last page of a document, an image whole")
        << QStringList {"--page", "-1", "doc.pdf", "picture.png"}
        << QStringList {"doc_2.png", "picture_0.png"} << QList<QSize> {{120, 240}, {64, 48}};
    QTest::newRow("one middle page") << QStringList {"--page", "1", "doc.pdf"}
                                     << QStringList {"doc_1.png"} << QList<QSize> {{300, 150}};
    QTest::newRow("document and image")
        << QStringList {"doc.pdf", "picture.png"}
        << QStringList {"doc_0.png", "doc_1.png", "doc_2.png", "picture_0.png"}
        << QList<QSize> {{200, 100}, {300, 150}, {120, 240}, {64, 48}};
    // Read in parallel, printed as named.
    QTest::newRow("argument order")
        << QStringList {"photo.jpg", "doc.pdf", "picture.png"}
        << QStringList {"photo_0.png", "doc_0.png", "doc_1.png", "doc_2.png", "picture_0.png"}
        << QList<QSize> {{100, 80}, {200, 100}, {300, 150}, {120, 240}, {64, 48}};
    QTest::newRow("resolution: pages, not pictures")
        << QStringList {"-r", "144", "doc.pdf", "picture.png"}
        << QStringList {"doc_0.png", "doc_1.png", "doc_2.png", "picture_0.png"}
        << QList<QSize> {{400, 200}, {600, 300}, {240, 480}, {64, 48}};
    QTest::newRow("scale-to: longest side")
        << QStringList {"--scale-to", "100", "doc.pdf", "picture.png"}
        << QStringList {"doc_0.png", "doc_1.png", "doc_2.png", "picture_0.png"}
        << QList<QSize> {{100, 50}, {100, 50}, {50, 100}, {100, 75}};
    QTest::newRow("size: fit within")
        << QStringList {"--size", "150x150", "--page", "-1", "doc.pdf", "photo.jpg"}
        << QStringList {"doc_2.png", "photo_0.png"} << QList<QSize> {{75, 150}, {150, 120}};
    QTest::newRow("page list in its own order")
        << QStringList {"--pages", "-1,1-2", "doc.pdf"}
        << QStringList {"doc_2.png", "doc_0.png", "doc_1.png"}
        << QList<QSize> {{120, 240}, {200, 100}, {300, 150}};
    QTest::newRow("page list downwards, counted from the end")
        << QStringList {"--pages", "N-1-1", "doc.pdf", "picture.png"}
        << QStringList {"doc_1.png", "doc_0.png", "picture_0.png"}
        << QList<QSize> {{300, 150}, {200, 100}, {64, 48}};
    QTest::newRow("output template")
        << QStringList {"--output=%b-%03n.png", "--pages", "2-3", "doc.pdf"}
        << QStringList {"doc-002.png", "doc-003.png"} << QList<QSize> {{300, 150}, {120, 240}};
}

void tst_VelaContent::writesEveryRequestedPage()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, pngs);
    QFETCH(QList<QSize>, sizes);

    QTemporaryDir out;
    const Run result = run(inTestDir(args), out.path());

    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    // Progress lines are for terminals only; a pipe gets nothing on standard error.
    QCOMPARE(result.err, QString());
    QStringList sorted = pngs;
    sorted.sort();
    QCOMPARE(pngNames(out.path()), sorted);
    for (int i = 0; i < pngs.size(); ++i) {
        const QImage written(out.filePath(pngs.at(i)));
        QCOMPARE(written.size(), sizes.at(i));
        // Pages are opaque on white and written without alpha; the translucent picture keeps
        // its colour and alpha exactly.
        const bool translucent = pngs.at(i).startsWith(QLatin1String("picture"));
        QCOMPARE(written.hasAlphaChannel(), translucent);
        if (translucent && written.size() == QSize(64, 48))
            QCOMPARE(written.pixelColor(3, 3), QColor(10, 200, 30, 128));
    }
    QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), pngs.size() + 1);
    const QString summary = lines.takeLast();
    const QString written = pngs.size() == 1 ? QStringLiteral("1 page written")
                                             : QStringLiteral("%1 pages written").arg(pngs.size());
    QVERIFY2(summary.startsWith(written + QLatin1String(", 0 failed"))
            && summary.contains(QLatin1String("cache: ")),
        qPrintable(summary));
    for (int i = 0; i < pngs.size(); ++i) {
        const QSize size = sizes.at(i);
        const QString sizeText = QStringLiteral("\t%1x%2\t").arg(size.width()).arg(size.height());
        QVERIFY2(lines.at(i).endsWith('/' + pngs.at(i)) && lines.at(i).contains(sizeText),
            qPrintable(lines.at(i)));
    }
}

void tst_VelaContent::reportsFailuresWithTheReadersMessage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("pngs");

    // A file that is not there has no pages to number.
    QTest::newRow("missing file") << QStringList {"nothing-here.png"}
                                  << "nothing-here.png: The file does not exist.\n"
                                  << QStringList {};
    QTest::newRow("damaged document")
        << QStringList {"damaged.pdf"} << "The pdf file cannot be opened." << QStringList {};
    QTest::newRow("page beyond the count")
        << QStringList {"--page", "3", "doc.pdf"}
        << "The specified page index is over page count. The page count is 3." << QStringList {};
    // Reported once, not once per page outside.
    QTest::newRow("page list past the end")
        << QStringList {"--pages", "2-6", "doc.pdf"}
        << "doc.pdf: page 3: The specified page index is over page count. The page count is "
           "3.\n"
        << QStringList {"doc_1.png", "doc_2.png"};
    QTest::newRow("a folder") << QStringList {"--pages", "1", "."} << ": is a folder, not a file"
                              << QStringList {};
    QTest::newRow("unsupported type, with the supported ones")
        << QStringList {"notes.txt"}
        << "notes.txt: The content type is unsupported. (vela-content reads " << QStringList {};
    QTest::newRow("one bad among good")
        << QStringList {"picture.png", "nothing-here.pdf"} << "The file does not exist."
        << QStringList {"picture_0.png"};
    QTest::newRow("encrypted document")
        << QStringList {"encrypted.pdf"} << "the document is encrypted" << QStringList {};
    QTest::newRow("image too large to decode")
        << QStringList {"bomb.png"}
        << "the image would decode to more than the limit of 268435456 bytes; "
           "--max-cache-bytes raises it"
        << QStringList {};
#ifdef Q_OS_LINUX
    // The run goes on past a page whose render process is ended.
    QTest::newRow("page that never finishes")
        << QStringList {"--render-timeout", "2", "endless.pdf", "picture.png"}
        << "The PDF renderer did not finish this page in time." << QStringList {"picture_0.png"};
#if !defined(__SANITIZE_ADDRESS__)
    QTest::newRow("page beyond the render memory")
        << QStringList {"--render-memory", "384", "endless.pdf", "picture.png"}
        << "The PDF renderer stopped while drawing this page." << QStringList {"picture_0.png"};
#endif
#endif
}

void tst_VelaContent::reportsFailuresWithTheReadersMessage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QFETCH(QStringList, pngs);

    QStringList absolute = inTestDir(args);
    if (absolute.constLast() == QLatin1String("."))
        absolute.last() = m_dir.path();
    for (const QString &arg : absolute) {
        if (arg.endsWith(QLatin1String("encrypted.pdf")) && !QFile::exists(arg))
            QSKIP("qpdf could not make the encrypted document");
    }
    QTemporaryDir out;
    const Run result = run(absolute, out.path());

    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(result.err.count('\n'), 1);
    QCOMPARE(pngNames(out.path()), pngs);
}

void tst_VelaContent::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("args");

    QTest::newRow("page below -1") << QStringList {"--page", "-2", "x.png"};
    QTest::newRow("page not a number") << QStringList {"--page", "two", "x.png"};
    QTest::newRow("zero max images") << QStringList {"--max-images", "0", "x.png"};
    QTest::newRow("bytes not a number") << QStringList {"--max-cache-bytes", "lots", "x.png"};
    QTest::newRow("unknown option") << QStringList {"--colour", "x.png"};
    QTest::newRow("missing option value") << QStringList {"--page"};
    QTest::newRow("no file") << QStringList {};
    QTest::newRow("page given twice") << QStringList {"--page", "0", "--page", "1", "x.pdf"};
    QTest::newRow("page and pages") << QStringList {"--page", "0", "--pages", "1", "x.pdf"};
    QTest::newRow("pages are one-based") << QStringList {"--pages", "0-2", "x.pdf"};
    QTest::newRow("pages not a list") << QStringList {"--pages", "1-3;7", "x.pdf"};
    QTest::newRow("resolution and size") << QStringList {"-r", "150", "--size", "9x9", "x.pdf"};
    QTest::newRow("resolution zero") << QStringList {"--resolution", "0", "x.pdf"};
    QTest::newRow("size not WxH") << QStringList {"--size", "100", "x.pdf"};
    QTest::newRow("unknown template field") << QStringList {"--output=%b_%q.png", "x.pdf"};
    QTest::newRow("negative render processes") << QStringList {"--render-processes", "-1", "x.png"};
    QTest::newRow("in-process with render processes")
        << QStringList {"--in-process", "--render-processes", "2", "x.png"};
    QTest::newRow("no render memory") << QStringList {"--render-memory", "0", "x.png"};
}

void tst_VelaContent::rejectsBadArguments()
{
    QFETCH(QStringList, args);
    QTemporaryDir out;
    const Run result = run(args, out.path());
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(QLatin1String("Usage:")), qPrintable(result.err));
    QVERIFY(pngNames(out.path()).isEmpty());
}

void tst_VelaContent::readsTheBundledSamplesWhenAsked()
{
    QTemporaryDir out;
    const Run result = run({"--samples"}, out.path());
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QCOMPARE(pngNames(out.path()),
        (QStringList {"vela-brochure_0.png", "vela-brochure_1.png", "vela-brochure_2.png",
            "vela-logo_0.png"}));
    // A landscape page is wider than high, whatever its exact size.
    const QImage landscape(out.filePath("vela-brochure_1.png"));
    QVERIFY(landscape.width() > landscape.height());
}

void tst_VelaContent::passesCacheLimitsThrough()
{
    // Every page is larger than the byte limit, so the cache keeps only the newest image;
    // every page must still be written.
    QTemporaryDir out;
    const Run result = run({"--max-cache-bytes", "1000", "--min-images", "1", "--max-images", "5",
                               m_dir.filePath("doc.pdf")},
        out.path());
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QCOMPARE(pngNames(out.path()).size(), 3);
    QVERIFY2(result.out.contains(QRegularExpression("cache: \\d+ bytes in 1 images")),
        qPrintable(result.out));
}

void tst_VelaContent::writesEveryPageOfALongDocument_data()
{
    QTest::addColumn<QStringList>("limits");

    QTest::newRow("default limits") << QStringList {};
    QTest::newRow("room for one page")
        << QStringList {"--max-cache-bytes", "3000000", "--max-images", "1"};
}

void tst_VelaContent::writesEveryPageOfALongDocument()
{
    QFETCH(QStringList, limits);
    QTemporaryDir out;
    const Run result = run(limits + QStringList {m_dir.filePath("long.pdf")}, out.path());
    QVERIFY2(result.exitCode == 0, qPrintable(result.err.left(2000)));
    QCOMPARE(result.err, QString());
    const QStringList names = pngNames(out.path());
    QCOMPARE(names.size(), 400);
    QVERIFY(names.contains("long_0.png") && names.contains("long_399.png"));
    QCOMPARE(QImage(out.filePath("long_399.png")).size(), QSize(595, 842));
    QVERIFY2(result.out.contains(QLatin1String("\n400 pages written, 0 failed")),
        qPrintable(result.out.right(300)));
}

void tst_VelaContent::jsonDescribesEveryPageThenASummary_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("pages");
    QTest::addColumn<QStringList>("failures"); // their messages, in any order

    QTest::newRow("document") << QStringList {"doc.pdf"} << 3 << QStringList {};
    QTest::newRow("document and a missing image") << QStringList {"doc.pdf", "nothing-here.png"}
                                                  << 3 << QStringList {"The file does not exist."};
}

void tst_VelaContent::jsonDescribesEveryPageThenASummary()
{
    QFETCH(QStringList, args);
    QFETCH(int, pages);
    QFETCH(QStringList, failures);

    QTemporaryDir out;
    const Run result = run(QStringList {"--json"} + inTestDir(args), out.path());
    QCOMPARE(result.exitCode, failures.isEmpty() ? 0 : 1);

    QList<QJsonObject> objects;
    for (const QString &line : result.out.split('\n', Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument json = QJsonDocument::fromJson(line.toUtf8(), &error);
        QVERIFY2(json.isObject(), qPrintable(line + ": " + error.errorString()));
        objects << json.object();
    }
    QVERIFY(!objects.isEmpty());
    const QJsonObject summary = objects.takeLast();
    QCOMPARE(summary.value("type").toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value("written").toInt(), pages);
    QCOMPARE(summary.value("failures").toInt(), failures.size());
    QVERIFY(summary.value("ms").toDouble() >= 0);
    QVERIFY(summary.value("peakCacheBytes").toDouble() > 0);

    QStringList messages;
    int written = 0;
    for (const QJsonObject &object : qAsConst(objects)) {
        QVERIFY(object.contains("file") && object.contains("page") && object.contains("ms"));
        if (object.value("type").toString() == QLatin1String("failure")) {
            messages << object.value("message").toString();
            continue;
        }
        QCOMPARE(object.value("type").toString(), QStringLiteral("page"));
        const QImage png(object.value("output").toString());
        QCOMPARE(png.size(), QSize(object.value("width").toInt(), object.value("height").toInt()));
        ++written;
    }
    QCOMPARE(written, pages);
    messages.sort();
    failures.sort();
    QCOMPARE(messages, failures);
}

void tst_VelaContent::quietPrintsOnlyFailures()
{
    QTemporaryDir out;
    const Run result
        = run(QStringList {"--quiet"} + inTestDir({"doc.pdf", "nothing-here.png"}), out.path());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains("The file does not exist."), qPrintable(result.err));
    QCOMPARE(pngNames(out.path()).size(), 3);
}

void tst_VelaContent::answersWithoutReading_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("answer");

    QTest::newRow("version") << "--version"
                             << "vela-content 1.";
    QTest::newRow("help") << "--help"
                          << "--json";
}

void tst_VelaContent::answersWithoutReading()
{
    QFETCH(QString, option);
    QFETCH(QString, answer);
    const Run result = run({option}, QString());
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.out.contains(answer), qPrintable(result.out));
    QCOMPARE(result.err, QString());
}

void tst_VelaContent::neverOverwritesPagesOfTheSameBaseName()
{
    QTemporaryDir in;
    QVERIFY(QDir(in.path()).mkpath("a") && QDir(in.path()).mkpath("b"));
    QVERIFY(QFile::copy(m_dir.filePath("doc.pdf"), in.filePath("a/doc.pdf")));
    QVERIFY(QFile::copy(m_dir.filePath("doc.pdf"), in.filePath("b/doc.pdf")));
    QVERIFY(QFile::copy(m_dir.filePath("picture.png"), in.filePath("a/doc.png")));

    QTemporaryDir out;
    const Run result = run(
        {in.filePath("a/doc.pdf"), in.filePath("b/doc.pdf"), in.filePath("a/doc.png")}, out.path());
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    const QStringList expected {"doc-2_0.png", "doc-2_1.png", "doc-2_2.png", "doc-3_0.png",
        "doc_0.png", "doc_1.png", "doc_2.png"};
    QCOMPARE(pngNames(out.path()), expected);
    // Each page's line says which file it came from and which name it got.
    for (const QString &line : result.out.split('\n', Qt::SkipEmptyParts).mid(0, 7)) {
        const QString source = line.section('\t', 0, 0);
        const QString written = QFileInfo(line.section('\t', -1)).fileName();
        const QString stem = source.endsWith("a/doc.pdf") ? "doc_"
            : source.endsWith("b/doc.pdf")                ? "doc-2_"
                                                          : "doc-3_";
        QVERIFY2(written.startsWith(stem), qPrintable(line));
    }
    QCOMPARE(QImage(out.filePath("doc-3_0.png")).size(), QSize(64, 48));
}

void tst_VelaContent::rejectsAnUnusableOutputFolder_data()
{
    QTest::addColumn<QString>("out"); // below the test's folder

    QTest::newRow("a file") << "picture.png";
    QTest::newRow("below a file") << "picture.png/pages";
}

void tst_VelaContent::rejectsAnUnusableOutputFolder()
{
    QFETCH(QString, out);
    const Run result = run({m_dir.filePath("doc.pdf")}, m_dir.filePath(out));
    QCOMPARE(result.exitCode, 2);
    // The system's own reason, after the folder's name.
    QVERIFY2(
        result.err.contains(QDir::toNativeSeparators(m_dir.filePath(out)) + ": Not a directory"),
        qPrintable(result.err));
    QCOMPARE(result.out, QString());
}

void tst_VelaContent::showsProgressOnlyWhereStandardErrorIsATerminal_data()
{
    // The shell redirection that takes one stream off the terminal that script(1) provides.
    QTest::addColumn<QString>("redirect");
    QTest::addColumn<bool>("progress");

    QTest::newRow("standard error on the terminal") << ">/dev/null" << true;
    QTest::newRow("only standard output on the terminal") << "2>{err}" << false;
}

void tst_VelaContent::showsProgressOnlyWhereStandardErrorIsATerminal()
{
    QFETCH(QString, redirect);
    QFETCH(bool, progress);
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (script.isEmpty())
        QSKIP("script(1), which runs a program on a terminal, is not installed");

    QTemporaryDir out;
    const QString errFile = out.filePath("stderr.txt");
    QProcess process;
    process.start(script,
        {"-qec",
            QStringLiteral("%1 --out %2 %3 %4")
                .arg(m_tool, out.filePath("pages"), m_dir.filePath("doc.pdf"),
                    QString(redirect).replace("{err}", errFile)),
            "/dev/null"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QFile err(errFile);
    const QByteArray onTerminal = process.readAllStandardOutput();
    const QByteArray onPipe = err.open(QIODevice::ReadOnly) ? err.readAll() : QByteArray();
    QCOMPARE(onTerminal.contains("doc.pdf: 2/3 pages"), progress);
    QVERIFY2(!onPipe.contains("pages\r") && !onPipe.contains("/3 pages"), onPipe.constData());
}

void tst_VelaContent::stopsCleanlyOnASignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("exitCode");

#ifdef Q_OS_UNIX
    QTest::newRow("SIGINT") << int(SIGINT) << 130;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 143;
#endif
}

void tst_VelaContent::stopsCleanlyOnASignal()
{
#ifndef Q_OS_UNIX
    QSKIP("signals are a Unix matter");
#else
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);

    // Large pages, so that several are being written when the signal comes.
    QTemporaryDir out;
    QProcess process;
    process.start(m_tool, {"-r", "300", m_dir.filePath("long.pdf"), "--out", out.path()});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 60000);
    QCOMPARE(::kill(pid_t(process.processId()), signalNumber), 0);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);

    // The summary of what was done, and every PNG under its name whole: nothing half
    // written, under its own name or a temporary one.
    const QStringList lines
        = QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(
        lines.constLast().contains(QLatin1String("interrupted")), qPrintable(lines.constLast()));
    const QStringList written = pngNames(out.path());
    QCOMPARE(written.size(), lines.size() - 1);
    QVERIFY(written.size() < 400);
    QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), written);
    for (const QString &name : written) {
        QFile png(out.filePath(name));
        QVERIFY(png.open(QIODevice::ReadOnly));
        QVERIFY2(png.readAll().endsWith(QByteArray("IEND\xae\x42\x60\x82", 8)), qPrintable(name));
    }
#endif
}

void tst_VelaContent::keepsWritingWhenTheListingIsNotRead()
{
    const QString shell = QStandardPaths::findExecutable(QStringLiteral("bash"));
    if (shell.isEmpty())
        QSKIP("bash is not installed");
    // head leaves after the first line; the tool's status is the pipe's first.
    QTemporaryDir out;
    QProcess process;
    process.start(shell,
        {"-c", "\"$0\" \"$@\" | head -1; exit ${PIPESTATUS[0]}", m_tool, m_dir.filePath("long.pdf"),
            "--out", out.path()});
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput().count('\n'), 1);
    QCOMPARE(pngNames(out.path()).size(), 400);
}

void tst_VelaContent::readsAFileWhoseNameIsNotText()
{
    const QString shell = QStandardPaths::findExecutable(QStringLiteral("bash"));
    if (shell.isEmpty())
        QSKIP("bash is not installed");
    // A Latin-1 byte in a UTF-8 world: no QString names the file, so the shell does.
    QTemporaryDir out;
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(shell,
        {"-c", "cp picture.png $'caf\\xe9.png' && \"$0\" $'caf\\xe9.png' --out \"$1\"", m_tool,
            out.path()});
    QVERIFY(process.waitForFinished(60000));
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
    const QStringList written = pngNames(out.path());
    QCOMPARE(written.size(), 1);
    QCOMPARE(QImage(out.filePath(written.first())).size(), QSize(64, 48));
}

QTEST_MAIN(tst_VelaContent)
#include "tst_velacontent.moc"
