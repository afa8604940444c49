#include "PageWriter.h"

#include <QImage>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

class tst_PageWriter : public QObject
{
    Q_OBJECT

private slots:
    void writtenPngReadsBackExactly_data();
    void writtenPngReadsBackExactly();
};

namespace {

// Every row different, so that a band joined in the wrong place or twice shows.
QImage pattern(const QSize &size, QImage::Format format, int alpha)
{
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = qRgba(
                (x * 7 + y) & 255, (y * 3) & 255, (x ^ y) & 255, alpha < 0 ? (x + y) & 255 : alpha);
    }
    return image.convertToFormat(format);
}

} // namespace

void tst_PageWriter::writtenPngReadsBackExactly_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<int>("alpha"); // -1: every alpha value
    QTest::addColumn<int>("threads");
    QTest::addColumn<bool>("hasAlpha"); // written as RGBA

    QTest::newRow("opaque page, one thread")
        << QSize(300, 500) << QImage::Format_RGB32 << 255 << 1 << false;
    QTest::newRow("opaque page in bands")
        << QSize(300, 1000) << QImage::Format_ARGB32 << 255 << 4 << false;
    QTest::newRow("fewer rows than a band")
        << QSize(40, 30) << QImage::Format_RGB32 << 255 << 4 << false;
    QTest::newRow("translucent in bands")
        << QSize(257, 777) << QImage::Format_ARGB32 << -1 << 3 << true;
    QTest::newRow("premultiplied translucent in bands")
        << QSize(100, 600) << QImage::Format_ARGB32_Premultiplied << 128 << 2 << true;
    QTest::newRow("other format") << QSize(64, 300) << QImage::Format_RGB888 << 255 << 2 << false;
}

void tst_PageWriter::writtenPngReadsBackExactly()
{
    QFETCH(QSize, size);
    QFETCH(QImage::Format, format);
    QFETCH(int, alpha);
    QFETCH(int, threads);
    QFETCH(bool, hasAlpha);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("page.png"));
    const QImage image = pattern(size, format, alpha);
    QThreadPool helpers;
    helpers.setMaxThreadCount(threads);
    QCOMPARE(PageWriter::writePng(image, path, threads > 1 ? &helpers : nullptr), QString());

    QImage back(path, "png");
    QVERIFY(!back.isNull());
    QCOMPARE(back.hasAlphaChannel(), hasAlpha);
    // Premultiplied pixels are written straight; what comes back is what the image shows.
    QCOMPARE(
        back.convertToFormat(QImage::Format_ARGB32), image.convertToFormat(QImage::Format_ARGB32));
}

QTEST_GUILESS_MAIN(tst_PageWriter)
#include "tst_pagewriter.moc"
