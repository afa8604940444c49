// vela-content on pictures over the decode limit, as a process: it reports why, and explains
// with what the reader found, never by decoding the file again.
#include "testcontent.h"
#include "testpdf.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

class tst_VelaContentLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void failureExplainedWithinMemory_data();
    void failureExplainedWithinMemory();

private:
    QTemporaryDir m_dir;
};

namespace {

// The largest peak resident memory of any child process this test has waited for, in KiB.
qint64 childrenPeakKiB()
{
#ifdef Q_OS_UNIX
    struct rusage usage = {};
    if (getrusage(RUSAGE_CHILDREN, &usage) == 0)
        return usage.ru_maxrss;
#endif
    return -1;
}

// A document whose page tree holds itself: the page count is read, the page is not.
QByteArray pdfWithLoopingPageTree()
{
    QByteArray pdf("%PDF-1.4\n");
    QList<int> offsets;
    const QList<QByteArray> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [2 0 R 3 0 R] /Count 2 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] >>",
    };
    for (int i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const int xref = pdf.size();
    pdf += "xref\n0 4\n0000000000 65535 f \n";
    for (int offset : offsets)
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref)
        + "\n%%EOF\n";
    return pdf;
}

} // namespace

void tst_VelaContentLimits::initTestCase()
{
    QVERIFY(m_dir.isValid());
#ifndef Q_OS_UNIX
    QSKIP("the peak memory of a child process is taken from getrusage()");
#endif
    const QByteArray png = TestContent::pngFilled(10000, 10000);
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("nested")));
    QVERIFY(TestContent::writeFile(m_dir.filePath("filled.png"), png));
    QVERIFY(TestContent::writeFile(
        m_dir.filePath("data-uri.svg"), TestContent::svgShowing(TestContent::pngDataUri(png))));
    QVERIFY(
        TestContent::writeFile(m_dir.filePath("holding-png.icns"), TestContent::icnsHolding(png)));
    QVERIFY(TestContent::writeFile(m_dir.filePath("looping.pdf"), pdfWithLoopingPageTree()));

    TestPdf::writePosterPdf(m_dir.filePath("giant.pdf"));
}

void tst_VelaContentLimits::failureExplainedWithinMemory_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("hint");
    QTest::addColumn<QString>("drawing");
    const QString inProcess = QStringLiteral("--in-process");

    const QString image = QStringLiteral("An error occured while reading the image file.");
    const QString imageHint = QStringLiteral(
        " (the image would decode to more than the limit of 268435456 bytes; --max-cache-bytes "
        "raises it");
    const QString page = QStringLiteral("Cannot get a image from the pdf file.");
    QTest::newRow("png") << "filled.png" << image << imageHint << inProcess;
    QTest::newRow("svg with a data uri") << "data-uri.svg" << image << imageHint << inProcess;
    QTest::newRow("icns entry holding a png")
        << "holding-png.icns" << image << imageHint << inProcess;
    const QString pageHint = QStringLiteral(
        " (pages that would draw to more than 268435456 bytes are refused; --max-cache-bytes "
        "raises that limit");
    // A render process says as much as this process about why it did not draw a page.
    for (const QString &drawing : {inProcess, QStringLiteral("--render-processes=1")}) {
        QTest::addRow("giant pdf page, %s", qPrintable(drawing))
            << "giant.pdf" << page << pageHint << drawing;
        QTest::addRow("pdf page tree holding itself, %s", qPrintable(drawing))
            << "looping.pdf" << page << QString() << drawing;
    }
}

void tst_VelaContentLimits::failureExplainedWithinMemory()
{
    QFETCH(QString, file);
    QFETCH(QString, message);
    QFETCH(QString, hint);
    QFETCH(QString, drawing);

    QTemporaryDir out;
    QProcess tool;
    tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/" VELA_CONTENT_FILE_NAME),
        {drawing, m_dir.filePath(file), QStringLiteral("--out"), out.path()});
    QVERIFY(tool.waitForFinished(120000));
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), 1);
    // The hint's start; no hint at all where size was not the reason.
    const QString expected = QStringLiteral(": ") + message + (hint.isEmpty() ? "\n" : hint);
    QVERIFY2(err.contains(expected), qPrintable(err));
    // Every run so far, this one included, stayed far below what decoding would take.
    const qint64 peak = childrenPeakKiB();
    QVERIFY2(peak > 0 && peak < 100 * 1024, qPrintable(QString::number(peak)));
}

QTEST_MAIN(tst_VelaContentLimits)
#include "tst_velacontent_limits.moc"
