#include <MediaType.h>
#include <VlExtension.h>
#include <VlSystemInfo.h>
#include <VlWidgetContainer.h>

#include <QApplication>
#include <QWidget>
#include <QtTest>

using namespace Vela;

class tst_VlCore : public QObject
{
    Q_OBJECT

private slots:
    void mediaTypeOfSuffix_data();
    void mediaTypeOfSuffix();
    void mediaTypeNamesKeepTheirOrder();
    void dpiRatioOverride_data();
    void dpiRatioOverride();
    void widgetContainerKeepsOrderAndChains();
};

void tst_VlCore::mediaTypeOfSuffix_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("type");

    QTest::newRow("png") << "png" << 1;
    QTest::newRow("PNG upper") << "PNG" << 1;
    QTest::newRow("jpg") << "jpg" << 1;
    QTest::newRow("JPeG mixed") << "JPeG" << 1;
    QTest::newRow("bmp") << "bmp" << 1;
    QTest::newRow("gif") << "gif" << 1;
    QTest::newRow("pdf") << "pdf" << 4;
    QTest::newRow("Pdf mixed") << "Pdf" << 4;
    QTest::newRow("mp4") << "mp4" << 2;
    QTest::newRow("WMV") << "WMV" << 2;
    QTest::newRow("swf") << "swf" << 3;
    QTest::newRow("html") << "html" << 5;
    QTest::newRow("HTM") << "HTM" << 5;
    QTest::newRow("url") << "url" << 5;
    QTest::newRow("txt") << "txt" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("docx") << "docx" << 0;
}

void tst_VlCore::mediaTypeOfSuffix()
{
    QFETCH(QString, suffix);
    QFETCH(int, type);
    VlExtension extension;
    QCOMPARE(int(extension.getMediaType(suffix)), type);
}

void tst_VlCore::mediaTypeNamesKeepTheirOrder()
{
    const QStringList expected
        = {"unKnown", "image", "movie", "flash", "pdf", "web", "telop", "folder", "extended"};
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(MediaType::name(MediaType::MediaTypes(i)), expected.at(i));
    QCOMPARE(int(MediaType::image), 1);
    QCOMPARE(int(MediaType::pdf), 4);
}

void tst_VlCore::dpiRatioOverride_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<double>("expected"); // 0 means "the screen's own ratio"

    QTest::newRow("two") << QByteArray("2") << 2.0;
    QTest::newRow("fraction") << QByteArray("1.25") << 1.25;
    QTest::newRow("zero ignored") << QByteArray("0") << 0.0;
    QTest::newRow("negative ignored") << QByteArray("-3") << 0.0;
    QTest::newRow("garbage ignored") << QByteArray("abc") << 0.0;
    QTest::newRow("unset") << QByteArray() << 0.0;
}

void tst_VlCore::dpiRatioOverride()
{
    QFETCH(QByteArray, value);
    QFETCH(double, expected);

    QWidget widget;
    qunsetenv("VELA_DPI_RATIO");
    const double screenRatio = VlSystemInfo::getDpiRatio(&widget);
    QVERIFY(screenRatio > 0);
    QVERIFY(VlSystemInfo::getDpiRatio(nullptr) > 0);

    if (!value.isNull())
        qputenv("VELA_DPI_RATIO", value);
    const double ratio = VlSystemInfo::getDpiRatio(&widget);
    qunsetenv("VELA_DPI_RATIO");
    QCOMPARE(ratio, expected > 0 ? expected : screenRatio);
}

void tst_VlCore::widgetContainerKeepsOrderAndChains()
{
    QWidget a, b, c;
    VlWidgetContainer container;
    QVERIFY(container.isEmpty());
    container << &a << &b << &c;
    QCOMPARE(container.size(), 3);
    QWidget *order[] = {&a, &b, &c};
    int i = 0;
    for (QWidget *w : container)
        QCOMPARE(w, order[i++]);
}

QTEST_MAIN(tst_VlCore)
#include "tst_vlcore.moc"
