#include "ktlib_qtcompat_p.h"
#include <KtTranslator.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <type_traits>

using namespace Kito;

static_assert(!std::is_copy_constructible<KtTranslator>::value, "owns its translators");
static_assert(!std::is_copy_assignable<KtTranslator>::value, "owns its translators");

namespace {

// Counts the LanguageChange events that installing or removing a translator sends to the
// application: one per translator.
class LanguageChanges : public QObject
{
public:
    LanguageChanges() { qApp->installEventFilter(this); }
    ~LanguageChanges() override { qApp->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::LanguageChange)
            ++count;
        return false;
    }
};

// Each probe file translates its own text ("kito" -> "kito loaded") and some share texts, so
// that the translation seen tells which file is installed and which one Qt consults first.
bool installed(const char *probe)
{
    return QCoreApplication::translate("probe", probe) != QLatin1String(probe);
}

QString translated(const char *source)
{
    return QCoreApplication::translate("probe", source);
}

} // namespace

class tst_KtTranslator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void localeOverride_data();
    void localeOverride();
    void perLocaleFolderLoadsOnlyQmFiles();
    void laterStepsTakePrecedence();
    void removeUninstallsEverythingOnce();
    void secondInstallKeepsASecondSet();
    void destructorUninstalls();

private:
    void writeFile(const QString &path, const QByteArray &content);
    void placeProbe(const QString &probe, const QString &relativePath);
    int qtOwnTranslations(const QString &locale);

    QTemporaryDir dataHome;
    QString appDir;
};

void tst_KtTranslator::initTestCase()
{
    QVERIFY(dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    QCOMPARE(
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation), dataHome.path());
    appDir = QCoreApplication::applicationDirPath();
    QVERIFY2(appDir.endsWith(QLatin1String("kttranslator-sandbox")),
        "the test writes beside its executable and must run from its own folder");
    cleanup();
}

void tst_KtTranslator::cleanup()
{
    QFile::remove(dataHome.filePath(QStringLiteral("LOCALE")));
    QFile::remove(appDir + QStringLiteral("/LOCALE"));
    QDir(appDir + QStringLiteral("/translations")).removeRecursively();
}

void tst_KtTranslator::writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void tst_KtTranslator::placeProbe(const QString &probe, const QString &relativePath)
{
    const QString target = appDir + QLatin1Char('/') + relativePath;
    QVERIFY(QDir().mkpath(QFileInfo(target).absolutePath()));
    QVERIFY(QFile::copy(QStringLiteral(KT_PROBE_QM_DIR "/probe_%1.qm").arg(probe), target));
}

// Qt's own translations directory may hold a file for the locale; the installer takes it
// first, so counts allow for it.
int tst_KtTranslator::qtOwnTranslations(const QString &locale)
{
    QTranslator translator;
    return translator.load(QStringLiteral("qt_") + locale, Kito::QtCompat::qtTranslationsPath())
        ? 1
        : 0;
}

void tst_KtTranslator::localeOverride_data()
{
    QTest::addColumn<QByteArray>("dataLocale"); // null: no LOCALE file in the data location
    QTest::addColumn<QByteArray>("appLocale"); // null: no LOCALE file beside the executable
    QTest::addColumn<QString>("probe"); // kito: zz_ZZ, other: yy_YY, base: system locale

    QTest::newRow("data location wins") << QByteArray("zz_ZZ\n") << QByteArray("yy_YY\n") << "kito";
    QTest::newRow("beside the executable") << QByteArray() << QByteArray("yy_YY\n") << "other";
    QTest::newRow("only the first line") << QByteArray("yy_YY\nzz_ZZ\n") << QByteArray() << "other";
    QTest::newRow("windows line end") << QByteArray("zz_ZZ\r\n") << QByteArray() << "kito";
    QTest::newRow("no line end") << QByteArray() << QByteArray("zz_ZZ") << "kito";
    // An empty file in the data location still decides: the system locale stays.
    QTest::newRow("empty data file") << QByteArray("") << QByteArray("yy_YY\n") << "base";
    QTest::newRow("empty first line") << QByteArray("\nzz_ZZ\n") << QByteArray() << "base";
    QTest::newRow("no file") << QByteArray() << QByteArray() << "base";
}

void tst_KtTranslator::localeOverride()
{
    QFETCH(QByteArray, dataLocale);
    QFETCH(QByteArray, appLocale);
    QFETCH(QString, probe);

    if (!dataLocale.isNull())
        writeFile(dataHome.filePath(QStringLiteral("LOCALE")), dataLocale);
    if (!appLocale.isNull())
        writeFile(appDir + QStringLiteral("/LOCALE"), appLocale);
    placeProbe(QStringLiteral("kito"), QStringLiteral("translations/kito_zz_ZZ.qm"));
    placeProbe(QStringLiteral("other"), QStringLiteral("translations/kito_yy_YY.qm"));
    placeProbe(QStringLiteral("base"),
        QStringLiteral("translations/kito_%1.qm").arg(QLocale::system().name()));

    KtTranslator translator(qApp);
    translator.install();
    QCOMPARE(installed("kito"), probe == QLatin1String("kito"));
    QCOMPARE(installed("other"), probe == QLatin1String("other"));
    QCOMPARE(installed("base"), probe == QLatin1String("base"));
}

void tst_KtTranslator::perLocaleFolderLoadsOnlyQmFiles()
{
    writeFile(dataHome.filePath(QStringLiteral("LOCALE")), "zz_ZZ\n");
    placeProbe(QStringLiteral("app"), QStringLiteral("translations/zz_ZZ/app.qm"));
    placeProbe(QStringLiteral("base"), QStringLiteral("translations/zz_ZZ/base.qm"));
    // Loaded through the path ending in "a.b": only the last dot starts the extension.
    placeProbe(QStringLiteral("dotted"), QStringLiteral("translations/zz_ZZ/a.b.qm"));
    // The pattern is case-sensitive and must match the whole name.
    placeProbe(QStringLiteral("other"), QStringLiteral("translations/zz_ZZ/upper.QM"));
    placeProbe(QStringLiteral("qt"), QStringLiteral("translations/zz_ZZ/qt.qm.bak"));
    writeFile(appDir + QStringLiteral("/translations/zz_ZZ/readme.txt"), "not a translation");
    writeFile(appDir + QStringLiteral("/translations/zz_ZZ/broken.qm"), "not a translation");
    QVERIFY(QDir().mkpath(appDir + QStringLiteral("/translations/zz_ZZ/folder.qm")));

    LanguageChanges changes;
    KtTranslator translator(qApp);
    translator.install();
    QVERIFY(installed("app"));
    QVERIFY(installed("base"));
    QVERIFY(installed("dotted"));
    QVERIFY(!installed("other"));
    QVERIFY(!installed("qt"));
    QCOMPARE(changes.count, qtOwnTranslations(QStringLiteral("zz_ZZ")) + 3);
}

void tst_KtTranslator::laterStepsTakePrecedence()
{
    writeFile(dataHome.filePath(QStringLiteral("LOCALE")), "zz_ZZ\n");
    placeProbe(QStringLiteral("qt"), QStringLiteral("translations/qt_zz_ZZ.qm"));
    placeProbe(QStringLiteral("kito"), QStringLiteral("translations/kito_zz_ZZ.qm"));
    placeProbe(QStringLiteral("app"), QStringLiteral("translations/zz_ZZ/app.qm"));

    KtTranslator translator(qApp);
    translator.install();
    QVERIFY(installed("qt"));
    QVERIFY(installed("kito"));
    QCOMPARE(translated("kitoqt"), QStringLiteral("from kito"));
    QCOMPARE(translated("shared"), QStringLiteral("from app"));
}

void tst_KtTranslator::removeUninstallsEverythingOnce()
{
    writeFile(dataHome.filePath(QStringLiteral("LOCALE")), "zz_ZZ\n");
    placeProbe(QStringLiteral("qt"), QStringLiteral("translations/qt_zz_ZZ.qm"));
    placeProbe(QStringLiteral("kito"), QStringLiteral("translations/kito_zz_ZZ.qm"));
    placeProbe(QStringLiteral("app"), QStringLiteral("translations/zz_ZZ/app.qm"));
    const int expected = qtOwnTranslations(QStringLiteral("zz_ZZ")) + 3;

    LanguageChanges changes;
    KtTranslator translator(qApp);
    translator.install();
    QCOMPARE(changes.count, expected);

    changes.count = 0;
    translator.remove();
    QCOMPARE(changes.count, expected);
    QVERIFY(!installed("qt"));
    QVERIFY(!installed("kito"));
    QVERIFY(!installed("app"));

    changes.count = 0;
    translator.remove();
    QCOMPARE(changes.count, 0);

    // Usable again after a remove.
    translator.install();
    QVERIFY(installed("app"));
}

void tst_KtTranslator::secondInstallKeepsASecondSet()
{
    writeFile(dataHome.filePath(QStringLiteral("LOCALE")), "zz_ZZ\n");
    placeProbe(QStringLiteral("kito"), QStringLiteral("translations/kito_zz_ZZ.qm"));
    placeProbe(QStringLiteral("app"), QStringLiteral("translations/zz_ZZ/app.qm"));
    const int once = qtOwnTranslations(QStringLiteral("zz_ZZ")) + 2;

    LanguageChanges changes;
    KtTranslator translator(qApp);
    translator.install();
    translator.install();
    QCOMPARE(changes.count, 2 * once);
    changes.count = 0;
    translator.remove();
    QCOMPARE(changes.count, 2 * once);
    QVERIFY(!installed("kito"));
}

void tst_KtTranslator::destructorUninstalls()
{
    writeFile(dataHome.filePath(QStringLiteral("LOCALE")), "zz_ZZ\n");
    placeProbe(QStringLiteral("kito"), QStringLiteral("translations/kito_zz_ZZ.qm"));
    placeProbe(QStringLiteral("base"), QStringLiteral("translations/zz_ZZ/base.qm"));
    const int expected = qtOwnTranslations(QStringLiteral("zz_ZZ")) + 2;

    LanguageChanges changes;
    {
        KtTranslator translator(qApp);
        translator.install();
        QVERIFY(installed("kito"));
        QVERIFY(installed("base"));
    }
    QVERIFY(!installed("kito"));
    QVERIFY(!installed("base"));
    QCOMPARE(changes.count, 2 * expected);
}

QTEST_MAIN(tst_KtTranslator)
#include "tst_kttranslator.moc"
