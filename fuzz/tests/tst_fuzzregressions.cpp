#include "FuzzTargets.h"

#include <VlContentCache.h>
#include <VlContentReader_Thr.h>
#include <VlImageMeasure.h>

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

struct NamedTarget
{
    const char *name;
    VelaFuzz::Target run;
};

const NamedTarget targets[]
    = {{"decrypt", VelaFuzz::decrypt}, {"path", VelaFuzz::path}, {"image", VelaFuzz::image},
        {"pdf", VelaFuzz::pdf}, {"artwork", VelaFuzz::artwork}, {"reply", VelaFuzz::reply}};

} // namespace

// Every input that once broke a target, and every seed, through the target's own code.
class tst_FuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
    void overLimitMeasured_data();
    void overLimitMeasured();
};

void tst_FuzzRegressions::replay_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<QString>("file");

    const QDir fuzz(QStringLiteral(VELA_FUZZ_DIR));
    for (int t = 0; t < int(sizeof(targets) / sizeof(targets[0])); ++t) {
        const QString name = QStringLiteral("fuzz_%1").arg(QLatin1String(targets[t].name));
        for (const char *folder : {"regressions", "corpus"}) {
            const QDir dir(fuzz.filePath(QStringLiteral("%1/%2").arg(QLatin1String(folder), name)));
            const QStringList files = dir.entryList(QDir::Files, QDir::Name);
            for (const QString &file : files) {
                const QString row
                    = QStringLiteral("%1/%2/%3").arg(QLatin1String(folder), name, file);
                QTest::newRow(qPrintable(row)) << t << dir.filePath(file);
            }
        }
    }
}

void tst_FuzzRegressions::replay()
{
    QFETCH(int, target);
    QFETCH(QString, file);

    QFile input(file);
    QVERIFY2(input.open(QIODevice::ReadOnly), qPrintable(file));
    QVERIFY(targets[target].run(input.readAll()));
}

void tst_FuzzRegressions::overLimitMeasured_data()
{
    QTest::addColumn<QString>("file");

    // One file per image format, each declaring or hiding a picture over the decode limit
    // (inside an icon entry, embedded in an SVG, behind a GIF's frame). The replay above
    // shows that reading them is harmless; this shows that they are refused by measuring
    // before anything is decoded, not by a decoder that happened to fail.
    const QDir dir(QStringLiteral(VELA_FUZZ_DIR "/regressions/fuzz_image"));
    const QStringList files = dir.entryList({QStringLiteral("over-limit-*")}, QDir::Files);
    QVERIFY(!files.isEmpty());
    for (const QString &file : files)
        QTest::newRow(qPrintable(file)) << dir.filePath(file);
}

void tst_FuzzRegressions::overLimitMeasured()
{
    QFETCH(QString, file);

    QFile input(file);
    QVERIFY(input.open(QIODevice::ReadOnly));
    const quint64 limit = Vela::VlContentReader_Thr::decodeLimit(
        Vela::VlContentCache::instance()->getMaximumCacheSize());
    QVERIFY(!Vela::VlImageMeasure::fits(
        Vela::VlImageMeasure::decodedBytes(input.readAll(), limit), limit));
}

QTEST_MAIN(tst_FuzzRegressions)
#include "tst_fuzzregressions.moc"
