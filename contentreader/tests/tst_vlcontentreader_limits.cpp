// The decode limit for every picture format Qt reads, checked where it matters: the peak
// memory of a process that reads a hostile file.
#include "testcontent.h"

#include <VlContentReader.h>

#include <QDir>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

using Vela::VlContentReader;

namespace {

// A refusal must cost no more than the process itself and the file's bytes: far below the
// hundreds of megabytes a decode of these pictures allocates.
constexpr qint64 peakCeilingKiB = 100 * 1024;

// The peak resident memory of this process so far, in KiB; -1 where the system does not say.
qint64 peakResidentKiB()
{
#ifdef Q_OS_LINUX
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly | QIODevice::Text)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
#endif
    return -1;
}

// The child's side: read one file through the reader and print the answer and the peak.
int readInChild(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QString uri = QString::fromLocal8Bit(argv[2]);
    QString answer;
    QObject::connect(VlContentReader::globalInstance(), &VlContentReader::readyContent, &app,
        [&](const QString &, int) {
            answer = QStringLiteral("ready");
            app.quit();
        });
    QObject::connect(VlContentReader::globalInstance(), &VlContentReader::failedToRead, &app,
        [&](const QString &, int, const QString &message) {
            answer = QStringLiteral("failed ") + message;
            app.quit();
        });
    VlContentReader::read(uri);
    app.exec();
    std::printf("%s\npeak %lld\n", qPrintable(answer), static_cast<long long>(peakResidentKiB()));
    return 0;
}

} // namespace

class tst_VlContentReader_Limits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void overLimitPictureRefusedWithinMemory_data();
    void overLimitPictureRefusedWithinMemory();
    void picturesWithinTheLimitRead_data();
    void picturesWithinTheLimitRead();

private:
    QTemporaryDir m_dir;
};

void tst_VlContentReader_Limits::initTestCase()
{
    QVERIFY(m_dir.isValid());
#ifndef Q_OS_LINUX
    QSKIP("the peak memory of a process is read from /proc");
#endif
    // 10000 x 10000 pixels decode to 400 MB, over the default limit of 256 MiB.
    const QByteArray png = TestContent::pngFilled(10000, 10000);
    const QDir dir(m_dir.path());
    QVERIFY(dir.mkpath(QStringLiteral("nested")));
    const QList<QPair<QString, QByteArray>> files = {
        {"filled.png", png},
        {"screen.gif", TestContent::gifDeclaring(10000, 10000)},
        {"filled.tiff", TestContent::tiffFilled(10000, 10000)},
        {"filled.webp", TestContent::webpFilled(10000, 10000)},
        // Within the limit as a picture (144 MB), over it with the canvas it is drawn on.
        {"animated.webp", TestContent::webpAnimated(6000, 6000)},
        {"declaring.tga", TestContent::tgaDeclaring(10000, 10000)},
        // 100 MB of grey, and twice that in coefficients while it is decoded.
        {"progressive.jpg", TestContent::jpegProgressive(10000, 10000)},
        {"holding-png.icns", TestContent::icnsHolding(png)},
        {"entry-of-2-gib.icns", TestContent::icnsDeclaring(0x7ffffff0u)},
        {"filled.mng", TestContent::mngFilled(10000, 10000)},
        {"data-uri.svg", TestContent::svgShowing(TestContent::pngDataUri(png))},
        // A relative name in an SVG file resolves against that file's folder.
        {"nested.svg", TestContent::svgShowing("nested/inner.svg")},
        {"nested/inner.svg", TestContent::svgShowing("neighbour.png")},
        {"nested/neighbour.png", png},
    };
    for (const auto &file : files)
        QVERIFY(TestContent::writeFile(dir.filePath(file.first), file.second));
}

void tst_VlContentReader_Limits::overLimitPictureRefusedWithinMemory_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("png") << "filled.png";
    QTest::newRow("gif screen") << "screen.gif";
    QTest::newRow("tiff") << "filled.tiff";
    QTest::newRow("webp") << "filled.webp";
    QTest::newRow("animated webp canvas") << "animated.webp";
    QTest::newRow("tga") << "declaring.tga";
    QTest::newRow("progressive jpeg") << "progressive.jpg";
    QTest::newRow("icns entry holding a png") << "holding-png.icns";
    QTest::newRow("icns entry of 2 GiB") << "entry-of-2-gib.icns";
    QTest::newRow("mng") << "filled.mng";
    QTest::newRow("svg with a data uri") << "data-uri.svg";
    QTest::newRow("svg in a folder showing its neighbour") << "nested.svg";
}

void tst_VlContentReader_Limits::overLimitPictureRefusedWithinMemory()
{
    QFETCH(QString, file);
    const QByteArray format = QImageReader::imageFormat(m_dir.filePath(file));
    if (format.isEmpty())
        QSKIP("Qt has no image plugin for this format here");

    // In a process of its own, whose working folder is the one relative names start from.
    QProcess child;
    child.setWorkingDirectory(m_dir.path());
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--read"), file});
    QVERIFY(child.waitForFinished(120000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    const QList<QByteArray> lines = child.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QByteArray("failed An error occured while reading the image file."));
    const qint64 peak = lines.at(1).mid(5).toLongLong();
    QVERIFY2(peak > 0 && peak < peakCeilingKiB, lines.at(1).constData());
}

void tst_VlContentReader_Limits::picturesWithinTheLimitRead_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("webp") << "webp";
    QTest::newRow("tiff") << "tiff";
    QTest::newRow("tga") << "tga";
}

void tst_VlContentReader_Limits::picturesWithinTheLimitRead()
{
    QFETCH(QString, format);
    const QImage expected = TestContent::pattern(QSize(97, 61));
    const QString uri = m_dir.filePath(QStringLiteral("pattern.") + format);
    if (format == QLatin1String("tga")) {
        QVERIFY(TestContent::writeFile(uri, TestContent::tga(expected)));
    } else {
        QImageWriter writer(uri);
        writer.setQuality(100); // lossless for WebP
        if (!writer.write(expected))
            QSKIP("Qt has no image plugin for this format here");
    }

    QSignalSpy ready(VlContentReader::globalInstance(), &VlContentReader::readyContent);
    VlContentReader::read(uri);
    QVERIFY(ready.wait(30000));
    const std::shared_ptr<QImage> image = VlContentReader::getImage(uri);
    QVERIFY(image);
    QCOMPARE(image->convertToFormat(QImage::Format_ARGB32), expected);
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--read") == 0)
        return readInChild(argc, argv);
    QGuiApplication app(argc, argv);
    tst_VlContentReader_Limits test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vlcontentreader_limits.moc"
