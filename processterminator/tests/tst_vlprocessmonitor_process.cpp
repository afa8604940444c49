#include "VlProcessMonitor_Process.h"

#include "childprocess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTest>

#include <limits>

#if defined(Q_OS_UNIX)
#include <unistd.h>
#endif

using Vela::VlProcessMonitor_Process;

class tst_VlProcessMonitor_Process : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rejectsValuesThatNameNoSingleProcess_data();
    void rejectsValuesThatNameNoSingleProcess();
    void refusesToSignalTruncatedPid();
    void inspectsOwnProcess();
    void inspectsChildStartTime();
    void reapedChildIsGone();
    void zombieIsGone();
    void unsignallableProcessIsNotPermitted();
};

void tst_VlProcessMonitor_Process::initTestCase()
{
#if !defined(Q_OS_LINUX)
    QSKIP("needs POSIX signals and /proc");
#endif
}

void tst_VlProcessMonitor_Process::rejectsValuesThatNameNoSingleProcess_data()
{
    QTest::addColumn<qint64>("pid");
    // On a POSIX system 0 and negative values address process groups or every process.
    QTest::newRow("0") << qint64(0);
    QTest::newRow("-1") << qint64(-1);
    QTest::newRow("-own") << -QCoreApplication::applicationPid();
    QTest::newRow("smallest 64-bit") << std::numeric_limits<qint64>::min();
    QTest::newRow("2^31") << (Q_INT64_C(1) << 31);
    QTest::newRow("2^32 + own") << (Q_INT64_C(1) << 32) + QCoreApplication::applicationPid();
    QTest::newRow("largest 64-bit") << std::numeric_limits<qint64>::max();
}

void tst_VlProcessMonitor_Process::rejectsValuesThatNameNoSingleProcess()
{
    QFETCH(qint64, pid);
    QVERIFY(!VlProcessMonitor_Process::isValidPid(pid));
    const VlProcessMonitor_Process::Info info = VlProcessMonitor_Process::inspect(pid);
    QCOMPARE(info.state, VlProcessMonitor_Process::Gone);
    QCOMPARE(info.startMSecs, qint64(-1));
}

void tst_VlProcessMonitor_Process::refusesToSignalTruncatedPid()
{
    // Cut to 32 bits this value is this test's own PID: a faulty guard would end the test.
    const qint64 pid = (Q_INT64_C(1) << 32) + QCoreApplication::applicationPid();
    QCOMPARE(VlProcessMonitor_Process::askToEnd(pid), VlProcessMonitor_Process::NoProcess);
    QCOMPARE(VlProcessMonitor_Process::forceEnd(pid), VlProcessMonitor_Process::NoProcess);
}

void tst_VlProcessMonitor_Process::inspectsOwnProcess()
{
    const VlProcessMonitor_Process::Info info
        = VlProcessMonitor_Process::inspect(QCoreApplication::applicationPid());
    QCOMPARE(info.state, VlProcessMonitor_Process::Running);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(info.startMSecs > now - 3600 * 1000);
    QVERIFY(info.startMSecs <= now + 1000);
}

void tst_VlProcessMonitor_Process::inspectsChildStartTime()
{
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    ChildProcess child;
    QVERIFY(child.start(QStringLiteral("sleep"), {QStringLiteral("60")}));
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    const VlProcessMonitor_Process::Info info = VlProcessMonitor_Process::inspect(child.pid);
    QCOMPARE(info.state, VlProcessMonitor_Process::Running);
    // The boot time is given in whole seconds, so the start time is exact to about a second.
    QVERIFY2(info.startMSecs >= before - 1500 && info.startMSecs <= after + 1500,
        qPrintable(
            QStringLiteral("%1 not in [%2, %3]").arg(info.startMSecs).arg(before).arg(after)));
}

void tst_VlProcessMonitor_Process::reapedChildIsGone()
{
    ChildProcess child;
    QVERIFY(child.start(QStringLiteral("true"), {}));
    QVERIFY(child.process.waitForFinished(5000));
    QCOMPARE(VlProcessMonitor_Process::inspect(child.pid).state, VlProcessMonitor_Process::Gone);
    QCOMPARE(VlProcessMonitor_Process::askToEnd(child.pid), VlProcessMonitor_Process::NoProcess);
}

void tst_VlProcessMonitor_Process::zombieIsGone()
{
    // The shell starts a short child and replaces itself with a sleep that never reaps it,
    // leaving that child a zombie until the sleep ends. The child outlives the exec, since
    // the shell reaps a child that is already gone before then.
    ChildProcess parent;
    QVERIFY(parent.startShell(QStringLiteral("sleep 0.5 & echo $!; exec sleep 60"), true));
    bool ok = false;
    const qint64 zombie = parent.process.readLine().trimmed().toLongLong(&ok);
    QVERIFY(ok);
    QTRY_VERIFY_WITH_TIMEOUT(
        [zombie] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(zombie));
            return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
        }(),
        5000);
    QCOMPARE(VlProcessMonitor_Process::inspect(zombie).state, VlProcessMonitor_Process::Gone);
    // Ending the parent hands the zombie to init, which reaps it.
}

void tst_VlProcessMonitor_Process::unsignallableProcessIsNotPermitted()
{
#if defined(Q_OS_UNIX)
    // PID 1 belongs to another user unless the test runs as its owner.
    QFile stat(QStringLiteral("/proc/1/status"));
    if (!stat.open(QIODevice::ReadOnly))
        QSKIP("no /proc/1");
    const QByteArray status = stat.readAll();
    const int uidAt = status.indexOf("\nUid:");
    const QList<QByteArray> uids
        = status.mid(uidAt + 5, status.indexOf('\n', uidAt + 1) - uidAt - 5)
              .simplified()
              .split(' ');
    if (::geteuid() == 0 || uids.value(0).toUInt() == ::geteuid())
        QSKIP("this user may signal PID 1");
    QCOMPARE(VlProcessMonitor_Process::inspect(1).state, VlProcessMonitor_Process::NotPermitted);
#endif
}

QTEST_MAIN(tst_VlProcessMonitor_Process)
#include "tst_vlprocessmonitor_process.moc"
