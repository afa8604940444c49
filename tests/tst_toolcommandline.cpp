// Every program answers --help and --version and refuses unknown options without a display,
// as a user on a console or a packaging script would call it.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const int EXIT_BAD_ARGUMENTS = 2;

// The Qt 6 build names its programs with a suffix ("vela-content6").
QString programFileName(const QString &name)
{
    return name + QStringLiteral(VELA_PROGRAM_SUFFIX);
}

QString programPath(const QString &name)
{
    return QStringLiteral(VELA_PROGRAM_DIR "/") + programFileName(name);
}

} // namespace

class tst_ToolCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answersWithoutDisplay_data();
    void answersWithoutDisplay();
    void processTerminatorMirrorsLogToFile();
};

void tst_ToolCommandLine::answersWithoutDisplay_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    // Matched against standard output for status 0, standard error otherwise.
    QTest::addColumn<QString>("expected");

    const QString version = QStringLiteral("^%1 \\d+\\.\\d+\\.\\d+\\n$");
    const QStringList programs = {QStringLiteral("vela-startmenu"),
        QStringLiteral("VlProcessTerminator"), QStringLiteral("vela-make-samples")};
    for (const QString &program : programs) {
        const QByteArray name = program.toLatin1();
        QTest::newRow((name + " --help").constData())
            << program << QStringList {QStringLiteral("--help")} << 0
            << QStringLiteral("^Usage: .*%1 \\[options\\].*--version")
                   .arg(programFileName(program));
        QTest::newRow((name + " -h").constData())
            << program << QStringList {QStringLiteral("-h")} << 0 << QStringLiteral("^Usage: ");
        QTest::newRow((name + " --version").constData())
            << program << QStringList {QStringLiteral("--version")} << 0 << version.arg(program);
        QTest::newRow((name + " unknown option").constData())
            << program << QStringList {QStringLiteral("--no-such-option")} << EXIT_BAD_ARGUMENTS
            << QStringLiteral("^%1: Unknown option 'no-such-option'.*Usage: ").arg(program);
        // Qt's own options are the application object's, but no excuse for a stray one.
        QTest::newRow((name + " Qt option and unknown option").constData())
            << program
            << QStringList {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                   QStringLiteral("--no-such-option")}
            << EXIT_BAD_ARGUMENTS << QStringLiteral("no-such-option");
    }
    QTest::newRow("vela-startmenu bad --size")
        << QStringLiteral("vela-startmenu") << QStringList {QStringLiteral("--size=wide")}
        << EXIT_BAD_ARGUMENTS << QStringLiteral("--size wants WIDTHxHEIGHT");
    QTest::newRow("vela-make-samples without folder")
        << QStringLiteral("vela-make-samples") << QStringList() << EXIT_BAD_ARGUMENTS
        << QStringLiteral("missing.*Usage: ");
    QTest::newRow("vela-content --help")
        << QStringLiteral("vela-content") << QStringList {QStringLiteral("--help")} << 0
        << QStringLiteral("^Usage: ");
    QTest::newRow("vela-content --version")
        << QStringLiteral("vela-content") << QStringList {QStringLiteral("--version")} << 0
        << version.arg(QStringLiteral("vela-content"));
    QTest::newRow("vela-content unknown option")
        << QStringLiteral("vela-content") << QStringList {QStringLiteral("--no-such-option")}
        << EXIT_BAD_ARGUMENTS << QStringLiteral("no-such-option");
}

void tst_ToolCommandLine::answersWithoutDisplay()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    const QString path = programPath(program);
    if (!QFile::exists(path))
        QSKIP("the program is not part of this build");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QLatin1String(name));
    // Answering must leave the working folder as it was (no folder named after an option).
    QTemporaryDir workingFolder;
    QVERIFY(workingFolder.isValid());

    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingFolder.path());
    process.start(path, arguments);
    QVERIFY2(process.waitForFinished(30000), qPrintable(process.errorString()));
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());

    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == exitCode, qPrintable(err));
    const QRegularExpression pattern(expected, QRegularExpression::DotMatchesEverythingOption);
    QVERIFY2(pattern.match(exitCode == 0 ? out : err).hasMatch(), qPrintable(out + err));
    QCOMPARE(QDir(workingFolder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList());
}

void tst_ToolCommandLine::processTerminatorMirrorsLogToFile()
{
    const QString path = programPath(QStringLiteral("VlProcessTerminator"));
    if (!QFile::exists(path))
        QSKIP("the program is not part of this build");

    QTemporaryDir temp; // a private PID directory, and the log file's folder
    QVERIFY(temp.isValid());
    const QString logPath = temp.filePath(QStringLiteral("terminator.log"));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), temp.path());
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(path, {QStringLiteral("--log-file"), logPath});
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));

    // The first scan of an empty PID directory says so, on screen and in the file.
    QFile log(logPath);
    QTRY_VERIFY_WITH_TIMEOUT(log.exists() && log.size() > 0, 15000);
    process.kill();
    process.waitForFinished();

    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString firstLine = QString::fromUtf8(log.readLine());
    QVERIFY2(
        QRegularExpression(QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{"
                                          "3}\\] There is no target PID\\.\\n$"))
            .match(firstLine)
            .hasMatch(),
        qPrintable(firstLine));
    QCOMPARE(log.permissions()
            & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
        QFile::Permissions());
}

QTEST_GUILESS_MAIN(tst_ToolCommandLine)
#include "tst_toolcommandline.moc"
