// Runs vela-content as a process, the way README's main job and a player's scripts do.
#include <QDir>
#include <QFile>
#include <QImage>
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

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run run(const QStringList &args, const QString &outDir);
    QStringList pngNames(const QString &outDir) const;

    QTemporaryDir m_dir;
    QString m_tool;
};

void tst_VelaContent::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tool = QCoreApplication::applicationDirPath() + QStringLiteral("/vela-content");
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

    QStringList absolute;
    for (const QString &arg : args)
        absolute << (arg.contains('.') ? m_dir.filePath(arg) : arg);
    QTemporaryDir out;
    const Run result = run(absolute, out.path());

    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    // Progress lines are for terminals only; a pipe gets nothing on standard error.
    QCOMPARE(result.err, QString());
    QCOMPARE(pngNames(out.path()), pngs);
    for (int i = 0; i < pngs.size(); ++i) {
        const QImage written(out.filePath(pngs.at(i)));
        QCOMPARE(written.size(), sizes.at(i));
    }
    // Files are read in parallel, so their lines may come in any order; a file's own pages
    // come in page order.
    QStringList lines = result.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), pngs.size() + 1);
    QVERIFY(lines.takeLast().startsWith(QLatin1String("cache: ")));
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
}

void tst_VelaContent::reportsFailuresWithTheReadersMessage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QFETCH(QStringList, pngs);

    QStringList absolute;
    for (const QString &arg : args)
        absolute << (arg.contains('.') ? m_dir.filePath(arg) : arg);
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

QTEST_MAIN(tst_VelaContent)
#include "tst_velacontent.moc"
