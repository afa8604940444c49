#include "VlProcessMonitor.h"

#include "childprocess.h"

#include <QAbstractButton>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolBar>

#include <memory>

#if defined(Q_OS_UNIX)
#include <unistd.h>
#endif

using Vela::VlProcessMonitor;

namespace {

struct LogLine
{
    QString text; // without the time prefix
    QColor colour;
};

const QString NO_TARGET = QStringLiteral("There is no target PID.");

QString nowStamp(qint64 offsetMSecs = 0)
{
    return QDateTime::currentDateTime()
        .addMSecs(offsetMSecs)
        .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

} // namespace

class tst_VlProcessMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void createsPidDirectoryUnderTemp();
    void reportsBlockedPidDirectoryInRed();
    void parsesPidFromFileName_data();
    void parsesPidFromFileName();
    void readsStamp_data();
    void readsStamp();
    void protectsOwnAndSystemPids_data();
    void protectsOwnAndSystemPids();
    void coloursLogLinesByKind_data();
    void coloursLogLinesByKind();
    void logStaysBoundedAt32000Blocks();
    void mirrorsLogToFile_data();
    void mirrorsLogToFile();
    void testButtonRemovesWholeFirstLine();
    void windowSitsNearLowerRight();
    void startAndStopArmOneTimerPerChain();
    void emptyDirectoryLogsNoTargetOncePerScan();

    void endsTargetWithTermination();
    void killsTargetIgnoringTerminationAfterSecondDuration();
    void removesRecycledPidFileAndSparesProcess();
    void removesDeadPidFile();
    void leavesProcessWithFutureStampAlone();
    void leavesOwnAndForeignNamesUntouched();
    void leavesDirectoryOthersCanWriteAlone_data();
    void leavesDirectoryOthersCanWriteAlone();

private:
    std::unique_ptr<VlProcessMonitor> stoppedMonitor();
    QString pidDirPath() const;
    QString writePidFile(const QString &name, const QByteArray &content);
    static QVector<LogLine> logLines(VlProcessMonitor &monitor);
    static int countLines(VlProcessMonitor &monitor, const QString &needle, const QColor &colour);

    QByteArray m_originalTmpDir;
    std::unique_ptr<QTemporaryDir> m_tmp;
};

void tst_VlProcessMonitor::initTestCase()
{
    m_originalTmpDir = qgetenv("TMPDIR");
}

// Every test gets a PID directory of its own under a fresh TMPDIR.
void tst_VlProcessMonitor::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    qputenv("TMPDIR", QFile::encodeName(m_tmp->path()));
}

void tst_VlProcessMonitor::cleanup()
{
    if (m_originalTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", m_originalTmpDir);
    m_tmp.reset();
}

std::unique_ptr<VlProcessMonitor> tst_VlProcessMonitor::stoppedMonitor()
{
    // The scans of these tests are run one at a time by the test itself.
    auto monitor = std::make_unique<VlProcessMonitor>();
    monitor->stop();
    return monitor;
}

QString tst_VlProcessMonitor::pidDirPath() const
{
    return m_tmp->path() + QLatin1Char('/') + QLatin1String(VlProcessMonitor::ORGANISATION_DOMAIN)
        + QStringLiteral("/Vela/pids");
}

QString tst_VlProcessMonitor::writePidFile(const QString &name, const QByteArray &content)
{
    QDir().mkpath(pidDirPath());
    const QString path = pidDirPath() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(content);
    return path;
}

QVector<LogLine> tst_VlProcessMonitor::logLines(VlProcessMonitor &monitor)
{
    static const QRegularExpression prefix(
        QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] "));
    QVector<LogLine> lines;
    const QTextDocument *document = monitor.m_logView->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (block.text().isEmpty())
            continue;
        LogLine line;
        line.text = block.text();
        line.text.remove(prefix);
        line.colour = block.begin().fragment().charFormat().foreground().color();
        lines.append(line);
    }
    return lines;
}

int tst_VlProcessMonitor::countLines(
    VlProcessMonitor &monitor, const QString &needle, const QColor &colour)
{
    int count = 0;
    for (const LogLine &line : logLines(monitor))
        count += line.text.contains(needle) && line.colour == colour;
    return count;
}

void tst_VlProcessMonitor::createsPidDirectoryUnderTemp()
{
    auto monitor = stoppedMonitor();
    QVERIFY(!QDir(pidDirPath()).exists());
    const QDir dir = monitor->pidDirectory();
    QVERIFY(dir.exists());
    QCOMPARE(dir.absolutePath(), pidDirPath());
}

void tst_VlProcessMonitor::reportsBlockedPidDirectoryInRed()
{
    // A file where the organisation folder belongs makes the directory impossible to create.
    QFile blocker(
        m_tmp->path() + QLatin1Char('/') + QLatin1String(VlProcessMonitor::ORGANISATION_DOMAIN));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    auto monitor = stoppedMonitor();
    monitor->scanPidDirectory();
    monitor->scanPidDirectory();
    const QVector<LogLine> lines = logLines(*monitor);
    QCOMPARE(lines.size(), 2);
    for (const LogLine &line : lines) {
        QCOMPARE(
            line.text, QStringLiteral("PID directory is not exists. -->\"%1\"").arg(pidDirPath()));
        QCOMPARE(line.colour, QColor(Qt::red));
    }
}

void tst_VlProcessMonitor::parsesPidFromFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("pid");

    QTest::newRow("decimal") << "1234" << true << qint64(1234);
    QTest::newRow("leading zeros") << "00042" << true << qint64(42);
    QTest::newRow("plus sign") << "+42" << true << qint64(42);
    QTest::newRow("minus sign") << "-42" << true << qint64(-42);
    QTest::newRow("largest 64-bit")
        << "9223372036854775807" << true << std::numeric_limits<qint64>::max();
    QTest::newRow("smallest 64-bit")
        << "-9223372036854775808" << true << std::numeric_limits<qint64>::min();
    QTest::newRow("beyond 64 bits") << "9223372036854775808" << false << qint64(0);
    QTest::newRow("extension") << "1234.pid" << false << qint64(0);
    QTest::newRow("hexadecimal") << "0x10" << false << qint64(0);
    QTest::newRow("trailing text") << "12a" << false << qint64(0);
    QTest::newRow("word") << "pid" << false << qint64(0);
}

void tst_VlProcessMonitor::parsesPidFromFileName()
{
    QFETCH(QString, name);
    QFETCH(bool, ok);
    QFETCH(qint64, pid);
    qint64 parsed = 0;
    QCOMPARE(VlProcessMonitor::pidFromFileName(name, &parsed), ok);
    if (ok)
        QCOMPARE(parsed, pid);
}

void tst_VlProcessMonitor::readsStamp_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("fromContent"); // else the modification time

    const QByteArray stamp = "2020-01-02 03:04:05.678";
    QTest::newRow("stamp alone") << stamp << true;
    QTest::newRow("stamp and line feed") << stamp + "\n" << true;
    QTest::newRow("stamp and CR LF") << stamp + "\r\n" << true;
    QTest::newRow("further lines") << stamp + "\nsomething else\n" << true;
    QTest::newRow("long first line cut at 23 bytes") << stamp + "999 and more text" << true;
    QTest::newRow("no milliseconds") << QByteArray("2020-01-02 03:04:05") << false;
    QTest::newRow("no milliseconds, line feed") << QByteArray("2020-01-02 03:04:05\n") << false;
    QTest::newRow("shifted by a blank") << " " + stamp << false;
    QTest::newRow("stamp on second line") << "\n" + stamp << false;
    QTest::newRow("impossible date") << QByteArray("2020-13-02 03:04:05.678") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void tst_VlProcessMonitor::readsStamp()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, fromContent);

    const QString path = writePidFile(QStringLiteral("1234"), content);
    QVERIFY(!path.isEmpty());
    const QDateTime modified(QDate(2021, 5, 6), QTime(7, 8, 9));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
    }

    const QDateTime expected
        = fromContent ? QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5, 678)) : modified;
    QCOMPARE(VlProcessMonitor::readStamp(QFileInfo(path)), expected);
}

void tst_VlProcessMonitor::protectsOwnAndSystemPids_data()
{
    QTest::addColumn<qint64>("pid");
    QTest::addColumn<bool>("isProtected");
    QTest::newRow("own") << QCoreApplication::applicationPid() << true;
    QTest::newRow("1") << qint64(1) << true;
    QTest::newRow("0") << qint64(0) << true;
    QTest::newRow("-1") << qint64(-1) << true;
    QTest::newRow("smallest 64-bit") << std::numeric_limits<qint64>::min() << true;
    QTest::newRow("2") << qint64(2) << false;
}

void tst_VlProcessMonitor::protectsOwnAndSystemPids()
{
    QFETCH(qint64, pid);
    QFETCH(bool, isProtected);
    QCOMPARE(VlProcessMonitor::isProtectedPid(pid), isProtected);
}

void tst_VlProcessMonitor::coloursLogLinesByKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("0 green") << 0 << QColor(Qt::green);
    QTest::newRow("1 yellow") << 1 << QColor(Qt::yellow);
    QTest::newRow("2 red") << 2 << QColor(Qt::red);
    QTest::newRow("3 green") << 3 << QColor(Qt::green);
    QTest::newRow("-1 green") << -1 << QColor(Qt::green);
}

void tst_VlProcessMonitor::coloursLogLinesByKind()
{
    QFETCH(int, kind);
    QFETCH(QColor, colour);

    auto monitor = stoppedMonitor();
    // A red line first, so that a kind that leaves the colour alone is caught.
    monitor->appendLog(QStringLiteral("before"), 2);
    const QDateTime before = QDateTime::currentDateTime();
    monitor->appendLog(QStringLiteral("a 100% line %1"), kind);
    const QDateTime after = QDateTime::currentDateTime();

    const QString last = monitor->m_logView->document()->lastBlock().text();
    const QRegularExpression format(
        QStringLiteral("^\\[(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3})\\] (.*)$"));
    const QRegularExpressionMatch match = format.match(last);
    QVERIFY2(match.hasMatch(), qPrintable(last));
    QCOMPARE(match.captured(2), QStringLiteral("a 100% line %1"));
    const QDateTime time
        = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    QVERIFY(time >= before.addMSecs(-1) && time <= after);

    const QVector<LogLine> lines = logLines(*monitor);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.last().colour, colour);
}

void tst_VlProcessMonitor::logStaysBoundedAt32000Blocks()
{
    auto monitor = stoppedMonitor();
    QTextDocument *document = monitor->m_logView->document();
    QStringList lines;
    for (int i = 0; i < 32000; ++i)
        lines << QStringLiteral("line %1").arg(i);
    document->setPlainText(lines.join(QLatin1Char('\n')));
    QCOMPARE(document->blockCount(), 32000);

    // At the bound itself nothing is removed.
    monitor->appendLog(QStringLiteral("first beyond"), 1);
    QCOMPARE(document->blockCount(), 32001);
    QCOMPARE(document->firstBlock().text(), QStringLiteral("line 0"));

    // Beyond it, every appended line pushes the oldest out.
    monitor->appendLog(QStringLiteral("second beyond"), 2);
    QCOMPARE(document->blockCount(), 32001);
    QCOMPARE(document->firstBlock().text(), QStringLiteral("line 1"));
    monitor->appendLog(QStringLiteral("third beyond"), 0);
    QCOMPARE(document->blockCount(), 32001);
    QCOMPARE(document->firstBlock().text(), QStringLiteral("line 2"));
    QVERIFY(document->lastBlock().text().endsWith(QStringLiteral("] third beyond")));
}

void tst_VlProcessMonitor::mirrorsLogToFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("before"); // null: no file yet
    QTest::addColumn<bool>("opens");
    QTest::addColumn<int>("permissions");

    const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner;
    const QFile::Permissions shared = owner | QFile::ReadGroup | QFile::ReadOther;
    QTest::newRow("new file, private")
        << QStringLiteral("log") << QByteArray() << true << int(owner);
    QTest::newRow("existing file, appended, mode kept")
        << QStringLiteral("log") << QByteArrayLiteral("[earlier run] kept\n") << true
        << int(shared);
    QTest::newRow("folder missing") << QStringLiteral("missing/log") << QByteArray() << false << 0;
}

void tst_VlProcessMonitor::mirrorsLogToFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, before);
    QFETCH(bool, opens);
    QFETCH(int, permissions);

    const QString path = m_tmp->filePath(name);
    if (!before.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(before);
        file.close();
        QVERIFY(file.setPermissions(QFile::Permissions(permissions)));
    }

    auto monitor = stoppedMonitor();
    QString reason;
    QCOMPARE(monitor->setLogFile(path, &reason), opens);
    QCOMPARE(reason.isEmpty(), opens);
    monitor->appendLog(QStringLiteral("Asked process 42 to end."), 1);
    monitor->appendLog(QStringLiteral("100% Ünïcode, %1"), 2);

    // The screen shows what it always did; the file holds the same lines.
    const QVector<LogLine> lines = logLines(*monitor);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(1).text, QStringLiteral("100% Ünïcode, %1"));
    if (!opens)
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()),
        QString::fromUtf8(before) + monitor->m_logView->toPlainText() + QLatin1Char('\n'));
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
        | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    QCOMPARE(int(file.permissions() & mode), permissions);
}

void tst_VlProcessMonitor::testButtonRemovesWholeFirstLine()
{
    auto monitor = stoppedMonitor();
    monitor->show();
    QVERIFY(QTest::qWaitForWindowExposed(monitor.get()));

    // Long enough to wrap over several visual lines of the 480-pixel window.
    const QString longLine = QStringLiteral("wrapped ").repeated(60);
    monitor->appendLog(longLine, 2);
    monitor->appendLog(QStringLiteral("second"), 1);
    monitor->appendLog(QStringLiteral("third"), 0);
    QCOMPARE(monitor->m_logView->document()->blockCount(), 3);

    QVERIFY(monitor->m_testButton);
    QVERIFY(!monitor->m_testButton->icon().isNull());
    QCOMPARE(monitor->m_testButton->parentWidget(), monitor->m_toolBar);
    monitor->m_testButton->click();

    QVector<LogLine> lines = logLines(*monitor);
    QCOMPARE(monitor->m_logView->document()->blockCount(), 2);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).text, QStringLiteral("second"));
    QCOMPARE(lines.at(0).colour, QColor(Qt::yellow));
    QCOMPARE(lines.at(1).text, QStringLiteral("third"));
    // The view follows the newest line.
    QVERIFY(monitor->m_logView->textCursor().atEnd());

    monitor->m_testButton->click();
    monitor->m_testButton->click();
    monitor->m_testButton->click(); // on an empty log: nothing to remove, nothing breaks
    QVERIFY(logLines(*monitor).isEmpty());
    QCOMPARE(monitor->m_logView->document()->blockCount(), 1);
}

void tst_VlProcessMonitor::windowSitsNearLowerRight()
{
    auto monitor = stoppedMonitor();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(monitor->size(), QSize(480, 320));
    QCOMPARE(monitor->pos(), QPoint(screen.width() - 490, screen.height() - 392));
    QCOMPARE(monitor->windowTitle(), QStringLiteral("Vela Process Terminator"));
    QVERIFY(!monitor->parentWidget());

    // The log is green on black, above it the tool bar.
    const QPalette palette = monitor->m_logView->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QCOMPARE(palette.color(group, QPalette::Base), QColor(Qt::black));
        QCOMPARE(palette.color(group, QPalette::Text), QColor(Qt::green));
    }
    QVERIFY(!monitor->m_logView->isReadOnly());
    const QImage icon(QStringLiteral(":images/ika_32.png"));
    QCOMPARE(icon.size(), QSize(32, 32));
    QVERIFY(icon.hasAlphaChannel());
}

void tst_VlProcessMonitor::startAndStopArmOneTimerPerChain()
{
    VlProcessMonitor monitor;
    // Construction arms the first scan.
    QVERIFY(monitor.m_running);
    QCOMPARE(monitor.m_armedScans, 1);
    monitor.start();
    QCOMPARE(monitor.m_armedScans, 1);

    // The armed timer still fires after stop(), but its scan neither logs nor re-arms.
    monitor.stop();
    QTRY_COMPARE_WITH_TIMEOUT(monitor.m_armedScans, 0, 5000);
    QVERIFY(logLines(monitor).isEmpty());

    monitor.m_scanInterval = 20;
    monitor.start();
    monitor.start();
    QCOMPARE(monitor.m_armedScans, 1);
    QTRY_VERIFY_WITH_TIMEOUT(logLines(monitor).size() >= 3, 5000);
    QCOMPARE(monitor.m_armedScans, 1);

    // stop() and start() at once: the pending timer and the new one make two chains.
    monitor.stop();
    monitor.start();
    QCOMPARE(monitor.m_armedScans, 2);
    QTRY_VERIFY_WITH_TIMEOUT(logLines(monitor).size() >= 8, 5000);
    QCOMPARE(monitor.m_armedScans, 2);

    monitor.stop();
    QTRY_COMPARE_WITH_TIMEOUT(monitor.m_armedScans, 0, 5000);
    const int lines = logLines(monitor).size();
    for (const LogLine &line : logLines(monitor)) {
        QCOMPARE(line.text, NO_TARGET);
        QCOMPARE(line.colour, QColor(Qt::green));
    }
    QCoreApplication::processEvents();
    QCOMPARE(logLines(monitor).size(), lines);
}

void tst_VlProcessMonitor::emptyDirectoryLogsNoTargetOncePerScan()
{
    VlProcessMonitor monitor;
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(logLines(monitor).size(), 1, 5000);
    // The first scan comes after the scan interval, not at once.
    QVERIFY(clock.elapsed() >= 900);
    QCOMPARE(logLines(monitor).first().text, NO_TARGET);
    QCOMPARE(logLines(monitor).first().colour, QColor(Qt::green));
    QVERIFY(QDir(pidDirPath()).exists());
    monitor.stop();
}

#if defined(Q_OS_LINUX)
#define REQUIRE_LINUX_PROCESSES()
#else
#define REQUIRE_LINUX_PROCESSES() QSKIP("needs POSIX signals and /proc")
#endif

void tst_VlProcessMonitor::endsTargetWithTermination()
{
    REQUIRE_LINUX_PROCESSES();
    ChildProcess child;
    // Exits with 3 on SIGTERM, so the test sees which signal ended it.
    QVERIFY(child.startShell(
        QStringLiteral("trap 'exit 3' TERM; echo ready; while :; do sleep 0.05; done"), true));
    const QString name = QString::number(child.pid);
    const QString path = writePidFile(name, nowStamp().toLatin1() + "\n");

    auto monitor = stoppedMonitor();
    monitor->scanPidDirectory();
    QCOMPARE(countLines(*monitor, QStringLiteral("Asked process %1 ").arg(name), Qt::yellow), 1);
    QCOMPARE(countLines(*monitor, NO_TARGET, Qt::green), 0);

    QVERIFY(child.process.waitForFinished(5000));
    QCOMPARE(child.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.process.exitCode(), 3);
    QVERIFY(QFile::exists(path));

    monitor->scanPidDirectory();
    QVERIFY(!QFile::exists(path));
    QCOMPARE(countLines(*monitor, QStringLiteral("Process %1 has ended").arg(name), Qt::green), 1);
    QCOMPARE(logLines(*monitor).last().text, NO_TARGET);
    QCOMPARE(countLines(*monitor, QString(), Qt::red), 0);
}

void tst_VlProcessMonitor::killsTargetIgnoringTerminationAfterSecondDuration()
{
    REQUIRE_LINUX_PROCESSES();
    ChildProcess child;
    // The ignored SIGTERM survives the exec, so the process is sleep itself.
    QVERIFY(child.startShell(QStringLiteral("trap '' TERM; echo ready; exec sleep 60"), true));
    const QString name = QString::number(child.pid);
    const QString path = writePidFile(name, nowStamp().toLatin1());

    auto monitor = stoppedMonitor();
    monitor->m_secondDuration = 400;
    QElapsedTimer sinceAsked;
    sinceAsked.start();
    monitor->scanPidDirectory();
    QCOMPARE(countLines(*monitor, QStringLiteral("Asked process %1 ").arg(name), Qt::yellow), 1);

    // Within the second duration the target is only waited for.
    QVERIFY(!child.process.waitForFinished(100));
    if (sinceAsked.elapsed() < 350) {
        monitor->scanPidDirectory();
        QCOMPARE(
            countLines(*monitor, QStringLiteral("Waiting for process %1 ").arg(name), Qt::yellow),
            1);
        QVERIFY(child.isRunning());
    }

    // Scans go on until the duration has passed and the process is forced.
    QTRY_VERIFY_WITH_TIMEOUT(
        (monitor->scanPidDirectory(), child.process.state() == QProcess::NotRunning), 5000);
    QVERIFY(sinceAsked.elapsed() >= 400);
    QCOMPARE(child.process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(countLines(*monitor, QStringLiteral("Process %1 ").arg(name), Qt::red), 1);
    QCOMPARE(
        countLines(*monitor, QStringLiteral("did not end within 400 ms; killed it."), Qt::red), 1);

    monitor->scanPidDirectory();
    QVERIFY(!QFile::exists(path));
    QCOMPARE(countLines(*monitor, QStringLiteral("Process %1 has ended").arg(name), Qt::green), 1);
    QCOMPARE(logLines(*monitor).last().text, NO_TARGET);
}

void tst_VlProcessMonitor::removesRecycledPidFileAndSparesProcess()
{
    REQUIRE_LINUX_PROCESSES();
    ChildProcess child;
    QVERIFY(child.start(QStringLiteral("sleep"), {QStringLiteral("60")}));
    const QString name = QString::number(child.pid);
    // Registered an hour before this process started: the PID belonged to another process.
    const QString path = writePidFile(name, nowStamp(-3600 * 1000).toLatin1() + "\n");

    auto monitor = stoppedMonitor();
    monitor->scanPidDirectory();
    QVERIFY(!QFile::exists(path));
    QCOMPARE(
        countLines(*monitor, QStringLiteral("Process %1 started at").arg(name), Qt::yellow), 1);
    QCOMPARE(logLines(*monitor).last().text, NO_TARGET);
    QVERIFY(!child.process.waitForFinished(300));
    QVERIFY(child.isRunning());
}

void tst_VlProcessMonitor::removesDeadPidFile()
{
    REQUIRE_LINUX_PROCESSES();
    ChildProcess child;
    QVERIFY(child.start(QStringLiteral("true"), {}));
    QVERIFY(child.process.waitForFinished(5000));
    const QString name = QString::number(child.pid);
    const QString path = writePidFile(name, nowStamp().toLatin1());
    // A PID beyond the 32-bit process ids of the system names no process either, and must
    // not be cut down to one that exists (here: this test's own).
    const QString beyond
        = QString::number((Q_INT64_C(1) << 32) + QCoreApplication::applicationPid());
    const QString beyondPath = writePidFile(beyond, nowStamp().toLatin1());

    auto monitor = stoppedMonitor();
    monitor->scanPidDirectory();
    QVERIFY(!QFile::exists(path));
    QVERIFY(!QFile::exists(beyondPath));
    QCOMPARE(
        countLines(*monitor, QStringLiteral("Process %1 (registered").arg(name), Qt::yellow), 1);
    QCOMPARE(
        countLines(*monitor, QStringLiteral("Process %1 (registered").arg(beyond), Qt::yellow), 1);
    QCOMPARE(logLines(*monitor).last().text, NO_TARGET);
    QCOMPARE(logLines(*monitor).size(), 3);
}

void tst_VlProcessMonitor::leavesProcessWithFutureStampAlone()
{
    REQUIRE_LINUX_PROCESSES();
    ChildProcess child;
    QVERIFY(child.start(QStringLiteral("sleep"), {QStringLiteral("60")}));
    const QString name = QString::number(child.pid);
    const QString path = writePidFile(name, nowStamp(3600 * 1000).toLatin1());

    auto monitor = stoppedMonitor();
    monitor->scanPidDirectory();
    QVERIFY(QFile::exists(path));
    QCOMPARE(
        countLines(*monitor,
            QStringLiteral("Process %1 has a registration time in the future").arg(name), Qt::red),
        1);
    QCOMPARE(countLines(*monitor, NO_TARGET, Qt::green), 0);
    QVERIFY(!child.process.waitForFinished(300));
}

void tst_VlProcessMonitor::leavesOwnAndForeignNamesUntouched()
{
    REQUIRE_LINUX_PROCESSES();
    ChildProcess child;
    QVERIFY(child.start(QStringLiteral("sleep"), {QStringLiteral("60")}));
    const QByteArray stamp = nowStamp().toLatin1();
    const QStringList names = {QString::number(QCoreApplication::applicationPid()),
        QStringLiteral("0"), QStringLiteral("-7"),
        QString::number(child.pid) + QStringLiteral(".pid"), QStringLiteral("notes.txt")};
    for (const QString &name : names)
        QVERIFY(!writePidFile(name, stamp).isEmpty());

    auto monitor = stoppedMonitor();
    monitor->scanPidDirectory();
    monitor->scanPidDirectory();
    for (const QString &name : names)
        QVERIFY2(QFile::exists(pidDirPath() + QLatin1Char('/') + name), qPrintable(name));
    const QVector<LogLine> lines = logLines(*monitor);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).text, NO_TARGET);
    QCOMPARE(lines.at(1).text, NO_TARGET);
    QVERIFY(!child.process.waitForFinished(300));
}

void tst_VlProcessMonitor::leavesDirectoryOthersCanWriteAlone_data()
{
    // The folder is given relative to the PID directory.
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("worldWritable");
    QTest::addColumn<bool>("foreignOwner");
    QTest::newRow("writable by everyone") << "." << true << false;
    QTest::newRow("owned by another user") << "." << false << true;
    // Whoever may rename entries above it could put a directory of their own in its place.
    QTest::newRow("organisation folder writable by everyone") << "../.." << true << false;
    QTest::newRow("organisation folder owned by another user") << "../.." << false << true;
}

void tst_VlProcessMonitor::leavesDirectoryOthersCanWriteAlone()
{
    REQUIRE_LINUX_PROCESSES();
    QFETCH(QString, folder);
    QFETCH(bool, worldWritable);
    QFETCH(bool, foreignOwner);
    if (foreignOwner && ::geteuid() != 0)
        QSKIP("giving the directory to another user needs root");

    ChildProcess child;
    QVERIFY(child.start(QStringLiteral("sleep"), {QStringLiteral("60")}));
    const QString name = QString::number(child.pid);
    // A file that anyone could have planted there, naming a process of this user.
    const QString path = writePidFile(name, nowStamp(-1000).toLatin1());
    QVERIFY(!path.isEmpty());
    const QString target = QDir::cleanPath(pidDirPath() + QLatin1Char('/') + folder);
    const QByteArray targetBytes = QFile::encodeName(target);
    const QFile::Permissions permissions = QFile::permissions(target);
    if (worldWritable)
        QVERIFY(QFile::setPermissions(target, permissions | QFile::WriteOther));
    if (foreignOwner)
        QCOMPARE(::chown(targetBytes.constData(), 65534, 65534), 0);

    auto monitor = stoppedMonitor();
    monitor->scanPidDirectory();
    QCOMPARE(countLines(*monitor, QStringLiteral("Asked process"), Qt::yellow), 0);
    QCOMPARE(countLines(*monitor, QStringLiteral("can be written by other users"), Qt::red), 1);
    QVERIFY(QFile::exists(path));

    // The same file in a private directory is acted on.
    QVERIFY(QFile::setPermissions(target, permissions));
    QCOMPARE(::chown(targetBytes.constData(), ::geteuid(), ::getegid()), 0);
    monitor->scanPidDirectory();
    QCOMPARE(countLines(*monitor, QStringLiteral("Asked process %1 ").arg(name), Qt::yellow), 1);
    QVERIFY(child.process.waitForFinished(5000));
}

QTEST_MAIN(tst_VlProcessMonitor)
#include "tst_vlprocessmonitor.moc"
