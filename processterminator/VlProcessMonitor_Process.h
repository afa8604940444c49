#ifndef VELA_VLPROCESSMONITOR_PROCESS_H
#define VELA_VLPROCESSMONITOR_PROCESS_H

#include <QString>
#include <QtGlobal>

class QFile;

namespace Vela {

// What the process monitor needs to know about, and do to, another process. Every system call
// of the program sits behind this class, in one branch per platform.
class VlProcessMonitor_Process
{
public:
    enum States {
        Gone, // no such process, or it has ended and only awaits reaping (a zombie)
        Running, // running and ours to signal
        NotPermitted // running, but this user may not signal it
    };

    struct Info
    {
        States state = Gone;
        // Start of the process in milliseconds since the epoch; -1 when it cannot be told.
        qint64 startMSecs = -1;
    };

    enum Results {
        Sent, // the request was delivered
        NoProcess, // nothing to signal (gone, or not a valid process id here)
        Denied, // the process exists but may not be signalled
        Failed // any other failure
    };

    // True for a value that can name one process of this system. Guards every signal: on a
    // POSIX system 0 and negative values address process groups, and a 64-bit value must
    // not be truncated into an unrelated process id.
    static bool isValidPid(qint64 pid);

    // True when no other user can add, rename or replace entries in the directory, which is
    // not a symbolic link. Each PID file names a process to end, so a directory that others
    // may write (the shared /tmp makes that easy) would let them have any process of this user
    // ended.
    static bool isPrivateDirectory(const QString &path);

    // Opens path for appending, creating it readable and writable by this user alone: a kiosk's
    // record of which processes it ended is nobody else's business. On failure file stays
    // closed and errorMessage gets the system's reason.
    static bool openPrivateAppend(QFile *file, const QString &path, QString *errorMessage);

    static Info inspect(qint64 pid);
    // Politely: SIGTERM on POSIX systems, a close request to the windows of the process on
    // Windows.
    static Results askToEnd(qint64 pid);
    // Unconditionally: SIGKILL, or process termination on Windows.
    static Results forceEnd(qint64 pid);
};

} // namespace Vela

#endif
