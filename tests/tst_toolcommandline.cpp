// Every program answers --help and --version and refuses unknown options without a display,
// as a user on a console or a packaging script would call it.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImageReader>
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

// The environment of a console or a script: no display, no platform chosen.
QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QLatin1String(name));
    return environment;
}

struct Run
{
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a program to its end; process work on a loaded machine gets a generous bound.
Run run(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment, const QString &workingFolder = QString())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(programPath(program), arguments);
    Run result;
    result.finished
        = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    if (!result.finished)
        result.err += process.errorString();
    return result;
}

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool matchesLines(const QStringList &lines, const QStringList &patterns)
{
    if (lines.size() != patterns.size())
        return false;
    for (int i = 0; i < lines.size(); ++i)
        if (!QRegularExpression(QStringLiteral("^\\[[-0-9: .]{23}\\] ") + patterns.at(i) + '$')
                 .match(lines.at(i))
                 .hasMatch())
            return false;
    return true;
}

} // namespace

class tst_ToolCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answersWithoutDisplay_data();
    void answersWithoutDisplay();
    void processTerminatorMirrorsLogToFile();
    void startMenuWritesTheScreenshotItWasAskedFor_data();
    void startMenuWritesTheScreenshotItWasAskedFor();
    void processTerminatorOnceExitsWithWhatIsLeft_data();
    void processTerminatorOnceExitsWithWhatIsLeft();
    void processTerminatorLogFileCountsRepeatedLines();
    void processTerminatorLogFileKeepsOnePreviousFile();
    void showsQtsWarningsOnlyWhenVerbose_data();
    void showsQtsWarningsOnlyWhenVerbose();
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
    // A window without a display would make Qt abort; one line says what to set instead.
    for (const QString &program :
        {QStringLiteral("vela-startmenu"), QStringLiteral("VlProcessTerminator")})
        QTest::newRow(qPrintable(program + " without display"))
            << program << QStringList() << EXIT_BAD_ARGUMENTS
            << QStringLiteral("^%1: no display found: set DISPLAY .*QT_QPA_PLATFORM=offscreen[^\n]*"
                              "\n$")
                   .arg(program);
    QTest::newRow("vela-startmenu unknown edition")
        << QStringLiteral("vela-startmenu")
        << QStringList {QStringLiteral("--edition"), QStringLiteral("Gold"),
               QStringLiteral("--screenshot"), QStringLiteral("menu.png")}
        << EXIT_BAD_ARGUMENTS
        << QStringLiteral("unknown edition \"Gold\"; known: Standard, MultiChannel, Professional");
    QTest::newRow("vela-startmenu screenshot of another format")
        << QStringLiteral("vela-startmenu")
        << QStringList {QStringLiteral("--screenshot"), QStringLiteral("menu.gif")}
        << EXIT_BAD_ARGUMENTS << QStringLiteral("name the file .png, .jpg, .jpeg or .bmp");
    QTest::newRow("VlProcessTerminator bad --log-max-bytes")
        << QStringLiteral("VlProcessTerminator")
        << QStringList {QStringLiteral("--log-max-bytes"), QStringLiteral("0")}
        << EXIT_BAD_ARGUMENTS << QStringLiteral("--log-max-bytes wants a number");
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

    // Answering must leave the working folder as it was (no folder named after an option).
    QTemporaryDir workingFolder;
    QVERIFY(workingFolder.isValid());

    const Run result = run(program, arguments, withoutDisplay(), workingFolder.path());
    QVERIFY2(result.finished, qPrintable(result.err));
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.err));
    const QRegularExpression pattern(expected, QRegularExpression::DotMatchesEverythingOption);
    // The usage wraps its descriptions; a pattern may also match them unwrapped.
    const QString text = exitCode == 0 ? result.out : result.err;
    QVERIFY2(pattern.match(text).hasMatch() || pattern.match(text.simplified()).hasMatch(),
        qPrintable(result.out + result.err));
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

void tst_ToolCommandLine::startMenuWritesTheScreenshotItWasAskedFor_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    // The format read back from menu.*, or the pattern that standard error matches.
    QTest::addColumn<QString>("expected");

    // Each run has no display: a screenshot is drawn offscreen all the same.
    QTest::newRow("png, edition in any case")
        << QStringList {"--edition", "professional", "--screenshot", "menu.png"} << 0 << "png";
    QTest::newRow("jpeg, suffix in capitals")
        << QStringList {"--screenshot", "menu.JPG"} << 0 << "jpeg";
    QTest::newRow("bmp") << QStringList {"--screenshot", "menu.bmp"} << 0 << "bmp";
    QTest::newRow("folder missing") << QStringList {"--screenshot", "missing/menu.png"} << 1
                                    << "vela-startmenu: cannot write missing/menu.png: \\S";
    QTest::newRow("smaller than the labels")
        << QStringList {"--size", "300x200", "--screenshot", "menu.png"} << EXIT_BAD_ARGUMENTS
        << "--size 300x200 is below \\d+x\\d+, the smallest size the labels fit";
}

void tst_ToolCommandLine::startMenuWritesTheScreenshotItWasAskedFor()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    if (!QFile::exists(programPath(QStringLiteral("vela-startmenu"))))
        QSKIP("the program is not part of this build");
    QTemporaryDir folder;
    QVERIFY(folder.isValid());

    const Run result
        = run(QStringLiteral("vela-startmenu"), arguments, withoutDisplay(), folder.path());
    QVERIFY2(result.finished, qPrintable(result.err));
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.err));
    const QStringList written
        = QDir(folder.path()).entryList({QStringLiteral("menu.*")}, QDir::Files);
    if (exitCode != 0) {
        QVERIFY2(QRegularExpression(expected).match(result.err).hasMatch(), qPrintable(result.err));
        QCOMPARE(written, QStringList());
        return;
    }
    QCOMPARE(written.size(), 1);
    QImageReader reader(folder.filePath(written.first()));
    QCOMPARE(reader.format(), expected.toLatin1());
    QCOMPARE(reader.size(), QSize(1280, 768));
}

void tst_ToolCommandLine::processTerminatorOnceExitsWithWhatIsLeft_data()
{
    QTest::addColumn<bool>("registered");
    QTest::newRow("empty directory") << false;
    QTest::newRow("a registered process running") << true;
}

void tst_ToolCommandLine::processTerminatorOnceExitsWithWhatIsLeft()
{
    QFETCH(bool, registered);
    if (!QFile::exists(programPath(QStringLiteral("VlProcessTerminator"))))
        QSKIP("the program is not part of this build");
    QTemporaryDir pids; // private to this user, as the terminator wants it
    QVERIFY(pids.isValid());

    QProcess target;
    if (registered) {
        target.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(target.waitForStarted());
        QFile file(pids.filePath(QString::number(target.processId())));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toLatin1());
    }

    // A single scan needs no display either.
    const Run result = run(QStringLiteral("VlProcessTerminator"),
        {QStringLiteral("--once"), QStringLiteral("--pid-dir"), pids.path()}, withoutDisplay());
    QVERIFY2(result.finished, qPrintable(result.err));
    QCOMPARE(result.exitCode, registered ? 1 : 0);
    const QStringList lines = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!registered) {
        QVERIFY2(matchesLines(lines, {"There is no target PID\\."}), qPrintable(result.out));
        return;
    }
    QVERIFY2(matchesLines(lines,
                 {QStringLiteral("Asked process %1 \\(registered [-0-9: .]+\\) to end\\.")
                         .arg(target.processId())}),
        qPrintable(result.out));
    // Asked, and gone by SIGTERM.
    QVERIFY(target.waitForFinished(30000));
    QCOMPARE(target.exitStatus(), QProcess::CrashExit);
}

void tst_ToolCommandLine::processTerminatorLogFileCountsRepeatedLines()
{
    if (!QFile::exists(programPath(QStringLiteral("VlProcessTerminator"))))
        QSKIP("the program is not part of this build");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString pids = temp.filePath(QStringLiteral("pids"));
    const QString logPath = temp.filePath(QStringLiteral("terminator.log"));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(programPath(QStringLiteral("VlProcessTerminator")),
        {QStringLiteral("--pid-dir"), pids, QStringLiteral("--log-file"), logPath});
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));

    // An idle scan once a second: one line, then its count kept up to date in place.
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(logPath).size() == 2
            && fileLines(logPath).at(1).endsWith(QStringLiteral(" times)")),
        30000);
    // A line that differs ends the count; the idle line after it starts a new one.
    QFile dead(QDir(pids).filePath(QStringLiteral("999999999")));
    QVERIFY(dead.open(QIODevice::WriteOnly));
    dead.close();
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(logPath).size() >= 5, 30000);
    process.kill();
    process.waitForFinished();

    const QStringList lines = fileLines(logPath);
    QVERIFY2(matchesLines(lines.mid(0, 5),
                 {"There is no target PID\\.", "\\(repeated \\d+ times\\)",
                     "Process 999999999 \\(registered .*\\) is not running; removed its PID "
                     "file\\.",
                     "There is no target PID\\.", "\\(repeated (1 time|\\d+ times)\\)"}),
        qPrintable(lines.join('\n')));
}

void tst_ToolCommandLine::processTerminatorLogFileKeepsOnePreviousFile()
{
    if (!QFile::exists(programPath(QStringLiteral("VlProcessTerminator"))))
        QSKIP("the program is not part of this build");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString logPath = temp.filePath(QStringLiteral("terminator.log"));
    for (const QString &path : {logPath, logPath + QStringLiteral(".1")}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(path == logPath ? "[2000-01-01 00:00:00.000] " + QByteArray(63, 'x') + '\n'
                                   : QByteArray("older\n"));
    }
    // An idle line takes 50 bytes and the earlier run's file 90, so a limit of 100 moves that
    // file aside first, then holds exactly two lines.
    const QString idle = QStringLiteral("There is no target PID\\.");
    const QVector<QPair<QStringList, QStringList>> rounds
        = {{{"x+"}, {idle}}, {{"x+"}, {idle, idle}}, {{idle, idle}, {idle}}};
    for (const auto &round : rounds) {
        const Run result = run(QStringLiteral("VlProcessTerminator"),
            {QStringLiteral("--once"), QStringLiteral("--pid-dir"),
                temp.filePath(QStringLiteral("pids")), QStringLiteral("--log-file"), logPath,
                QStringLiteral("--log-max-bytes"), QStringLiteral("100")},
            withoutDisplay());
        QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.err));
        QVERIFY(matchesLines(fileLines(logPath + QStringLiteral(".1")), round.first));
        QVERIFY(matchesLines(fileLines(logPath), round.second));
    }
    QVERIFY(!(QFile::permissions(logPath) & (QFile::ReadOther | QFile::ReadGroup)));
}

void tst_ToolCommandLine::showsQtsWarningsOnlyWhenVerbose_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments"); // {dir} is a scratch folder
    QTest::addColumn<QString>("expected"); // standard error, as a pattern

    // Without a runtime folder Qt warns when the platform starts.
    const QStringList samples {QStringLiteral("{dir}")};
    const QStringList screenshot {QStringLiteral("--screenshot"), QStringLiteral("{dir}/menu.png")};
    QTest::newRow("vela-make-samples") << "vela-make-samples" << samples << "^$";
    QTest::newRow("vela-make-samples --verbose")
        << "vela-make-samples" << (samples + QStringList {QStringLiteral("--verbose")})
        << "^default: QStandardPaths: XDG_RUNTIME_DIR not set";
    QTest::newRow("vela-startmenu") << "vela-startmenu" << screenshot << "^$";
    QTest::newRow("vela-startmenu --verbose")
        << "vela-startmenu" << (screenshot + QStringList {QStringLiteral("--verbose")})
        << "^default: QStandardPaths: XDG_RUNTIME_DIR not set";
}

void tst_ToolCommandLine::showsQtsWarningsOnlyWhenVerbose()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);

    const QString path = programPath(program);
    if (!QFile::exists(path))
        QSKIP("the program is not part of this build");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    arguments.replaceInStrings(QStringLiteral("{dir}"), dir.path());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(path, arguments);
    QVERIFY2(process.waitForFinished(60000), qPrintable(process.errorString()));
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(QRegularExpression(expected).match(err).hasMatch(), qPrintable(err));
}

QTEST_GUILESS_MAIN(tst_ToolCommandLine)
#include "tst_toolcommandline.moc"
