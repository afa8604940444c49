// Runs vela-content as a process, the way README's main job and a player's scripts do.
#include "testcontent.h"

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
    void readsTheBundledSamplesWithoutArguments();
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
    QTest::addColumn<QStringList>("pngs"); // file names written
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
    QCOMPARE(pngNames(out.path()), pngs);
    for (int i = 0; i < pngs.size(); ++i) {
        const QImage written(out.filePath(pngs.at(i)));
        QCOMPARE(written.size(), sizes.at(i));
        // Pages are opaque on white and written without alpha; the translucent picture keeps
        // its colour and alpha exactly.
        const bool translucent = pngs.at(i).startsWith(QLatin1String("picture"));
        QCOMPARE(written.hasAlphaChannel(), translucent);
        if (translucent)
            QCOMPARE(written.pixelColor(3, 3), QColor(10, 200, 30, 128));
    }
    // Files are read in parallel, so their lines may come in any order; a file's own pages
    // come in page order.
    QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), pngs.size() + 1);
    const QString summary = lines.takeLast();
    QVERIFY2(summary.startsWith(QStringLiteral("%1 pages written, 0 failed").arg(pngs.size()))
            && summary.contains(QLatin1String("cache: ")),
        qPrintable(summary));
    for (int i = 0; i < pngs.size(); ++i) {
        const QSize size = sizes.at(i);
        const QString sizeText = QStringLiteral("\t%1x%2\t").arg(size.width()).arg(size.height());
        const auto line = std::find_if(lines.cbegin(), lines.cend(), [&](const QString &l) {
            return l.endsWith(QDir::separator() + pngs.at(i)) || l.endsWith('/' + pngs.at(i));
        });
        QVERIFY2(line != lines.cend(), qPrintable(pngs.at(i)));
        QVERIFY2(line->contains(sizeText), qPrintable(*line));
    }
}

void tst_VelaContent::reportsFailuresWithTheReadersMessage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("pngs");

    QTest::newRow("missing file") << QStringList {"nothing-here.png"} << "The file does not exist."
                                  << QStringList {};
    QTest::newRow("damaged document")
        << QStringList {"damaged.pdf"} << "The pdf file cannot be opened." << QStringList {};
    QTest::newRow("page beyond the count")
        << QStringList {"--page", "3", "doc.pdf"}
        << "The specified page index is over page count. The page count is 3." << QStringList {};
    QTest::newRow("one bad among good")
        << QStringList {"picture.png", "nothing-here.pdf"} << "The file does not exist."
        << QStringList {"picture_0.png"};
    QTest::newRow("encrypted document")
        << QStringList {"encrypted.pdf"} << "the document is encrypted" << QStringList {};
    QTest::newRow("image too large to decode")
        << QStringList {"bomb.png"}
        << "the image is 100000x100000 pixels, more than the limit of 268435456 bytes; "
           "--max-cache-bytes raises it"
        << QStringList {};
}

void tst_VelaContent::reportsFailuresWithTheReadersMessage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QFETCH(QStringList, pngs);

    const QStringList absolute = inTestDir(args);
    for (const QString &arg : absolute) {
        if (arg.endsWith(QLatin1String("encrypted.pdf")) && !QFile::exists(arg))
            QSKIP("qpdf could not make the encrypted document");
    }
    QTemporaryDir out;
    const Run result = run(absolute, out.path());

    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
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

void tst_VelaContent::readsTheBundledSamplesWithoutArguments()
{
    QTemporaryDir out;
    const Run result = run({}, out.path());
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

QTEST_MAIN(tst_VelaContent)
#include "tst_velacontent.moc"
