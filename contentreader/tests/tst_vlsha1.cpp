#include "VlSha1.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtTest>

using namespace Vela;

class tst_VlSha1 : public QObject
{
    Q_OBJECT

private slots:
    void digestMatchesQtsForEveryLengthAndSlicing_data();
    void digestMatchesQtsForEveryLengthAndSlicing();
};

void tst_VlSha1::digestMatchesQtsForEveryLengthAndSlicing_data()
{
    QTest::addColumn<bool>("portable");
    QTest::addColumn<int>("largestSlice");
    // One slice is the whole input; slices of 1 to 130 bytes cross the 64-byte block edge at
    // every offset, so the bytes carried between calls are exercised, as are runs of whole
    // blocks after a carry.
    QTest::newRow("extensions, whole") << false << 0;
    QTest::newRow("extensions, slices") << false << 130;
    QTest::newRow("fallback, whole") << true << 0;
    QTest::newRow("fallback, slices") << true << 130;
}

void tst_VlSha1::digestMatchesQtsForEveryLengthAndSlicing()
{
    QFETCH(bool, portable);
    const VlSha1::Path path = portable ? VlSha1::Path::Portable : VlSha1::Path::Fastest;
    QFETCH(int, largestSlice);
    if (path == VlSha1::Path::Fastest && !VlSha1::hasShaExtensions())
        QSKIP("this processor has no SHA extensions");

    QRandomGenerator random(1234);
    QByteArray data(1024, Qt::Uninitialized);
    for (char &byte : data)
        byte = char(random.bounded(256));

    for (int length = 0; length <= data.size(); ++length) {
        VlSha1 sha1(path);
        int offset = 0;
        while (offset < length) {
            const int slice = largestSlice
                ? qMin(length - offset, int(random.bounded(1, largestSlice + 1)))
                : length;
            sha1.addData(data.constData() + offset, slice);
            sha1.addData(data.constData() + offset, 0);
            offset += slice;
        }
        const QByteArray expected
            = QCryptographicHash::hash(data.left(length), QCryptographicHash::Sha1);
        QVERIFY2(sha1.result() == expected, qPrintable(QString("length %1").arg(length)));
    }
    QCOMPARE(VlSha1::hash(data), QCryptographicHash::hash(data, QCryptographicHash::Sha1));
}

QTEST_APPLESS_MAIN(tst_VlSha1)
#include "tst_vlsha1.moc"
