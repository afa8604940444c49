#ifndef VELA_TESTS_CHILDPROCESS_H
#define VELA_TESTS_CHILDPROCESS_H

#include <QProcess>
#include <QStringList>

#if defined(Q_OS_UNIX)
#include <csignal>
#include <sys/types.h>
#endif

// A real process started by a test and ended by the test, by its PID, whatever happens to the
// test: the destructor kills it and reaps it, so no test leaves a process or a zombie behind.
class ChildProcess
{
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    ~ChildProcess() { end(); }

    bool start(const QString &program, const QStringList &arguments)
    {
        process.start(program, arguments);
        if (!process.waitForStarted(5000))
            return false;
        pid = process.processId();
        return pid > 0;
    }

    // sh -c script. A script that prints a line once it has set itself up (its traps) is
    // waited for until that line has come.
    bool startShell(const QString &script, bool waitForLine = false)
    {
        if (!start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}))
            return false;
        while (waitForLine && !process.canReadLine()) {
            if (!process.waitForReadyRead(5000))
                return false;
        }
        return true;
    }

    bool isRunning()
    {
        return !process.waitForFinished(0) && process.state() != QProcess::NotRunning;
    }

    void end()
    {
        // Let QProcess take note of a death first, so that a PID that may already be free
        // is never signalled.
        if (pid > 0 && isRunning()) {
#if defined(Q_OS_UNIX)
            ::kill(pid_t(pid), SIGKILL);
#else
            process.kill();
#endif
        }
        process.waitForFinished(5000);
    }

    QProcess process;
    qint64 pid = 0;
};

#endif
