// The render process's sandbox, entered by a probe program that then tries one operation.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class tst_VlPdfSandbox : public QObject
{
    Q_OBJECT

private slots:
    void forbiddenOperationsKillOrFailAndLeaveNoFile_data();
    void forbiddenOperationsKillOrFailAndLeaveNoFile();
};

void tst_VlPdfSandbox::forbiddenOperationsKillOrFailAndLeaveNoFile_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("allowed");
    // What PDFium and the host need keeps working.
    QTest::newRow("read a file") << "read" << true;
    QTest::newRow("start a thread") << "thread" << true;
    QTest::newRow("signal itself") << "signal-self" << true;
    for (const char *forbidden : {"exec", "fork", "socket", "connect", "open-write", "open-append",
             "create", "creat", "temporary", "truncate", "rename", "unlink", "mkdir", "symlink",
             "link", "chmod", "chown", "ptrace", "signal-parent", "signal-group"})
        QTest::newRow(forbidden) << forbidden << false;
}

void tst_VlPdfSandbox::forbiddenOperationsKillOrFailAndLeaveNoFile()
{
    QFETCH(QString, operation);
    QFETCH(bool, allowed);
    const QString probe = QCoreApplication::applicationDirPath() + "/vela-sandbox-probe";
    QVERIFY2(QFileInfo(probe).isExecutable(), qPrintable(probe));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile readable(dir.filePath("readable"));
    QVERIFY(readable.open(QIODevice::WriteOnly));
    readable.write("content");
    readable.close();
    const QFile::Permissions permissions = readable.permissions();

    QProcess process;
    process.start(probe, {operation, dir.path()});
    QVERIFY(process.waitForFinished(30000));
    if (allowed) {
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    } else {
        const bool killedBySigsys
            = process.exitStatus() == QProcess::CrashExit && process.exitCode() == SIGSYS;
        const bool refused
            = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 1;
        QVERIFY2(killedBySigsys || refused,
            qPrintable(QStringLiteral("status %1, code %2, stderr %3")
                           .arg(process.exitStatus())
                           .arg(process.exitCode())
                           .arg(QString::fromLocal8Bit(process.readAllStandardError()))));
    }

    // Nothing was made, removed, renamed or changed.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList {"readable"});
    QVERIFY(readable.open(QIODevice::ReadOnly));
    QCOMPARE(readable.readAll(), QByteArray("content"));
    QCOMPARE(readable.permissions(), permissions);
}

QTEST_GUILESS_MAIN(tst_VlPdfSandbox)
#include "tst_vlpdfsandbox.moc"
