#include "VlProcessMonitor_Process.h"

#include <QFile>

#include <limits>

#if defined(Q_OS_WIN)
#include <qt_windows.h>
#elif defined(Q_OS_UNIX)
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#if defined(Q_OS_LINUX)
#include <QByteArray>
#include <QList>
#endif

namespace Vela {

#if defined(Q_OS_LINUX)
namespace {

// Boot time in seconds since the epoch, the origin of the start times in /proc/<pid>/stat.
qint64 bootTimeSecs()
{
    QFile file(QStringLiteral("/proc/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("btime ")) {
            bool ok = false;
            const qint64 secs = line.mid(6).trimmed().toLongLong(&ok);
            return ok ? secs : -1;
        }
    }
    return -1;
}

// Fills the state (a zombie counts as gone) and the start time from /proc/<pid>/stat.
void readProcStat(qint64 pid, VlProcessMonitor_Process::Info *info)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        // kill() saw the process a moment ago; a missing entry now means it has just ended.
        if (!QFile::exists(file.fileName()))
            info->state = VlProcessMonitor_Process::Gone;
        return;
    }
    const QByteArray stat = file.readAll();
    // The command name in field 2 is in parentheses and may itself hold blanks and
    // parentheses, so the fields are counted from the last closing one.
    const int close = stat.lastIndexOf(')');
    if (close < 0)
        return;
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    // fields[0] is field 3 (the state), fields[19] is field 22 (the start time in ticks).
    if (fields.isEmpty())
        return;
    if (fields.at(0) == "Z" || fields.at(0) == "X" || fields.at(0) == "x") {
        info->state = VlProcessMonitor_Process::Gone;
        return;
    }
    if (fields.size() < 20)
        return;
    bool ok = false;
    const qint64 ticks = fields.at(19).toLongLong(&ok);
    const long ticksPerSec = ::sysconf(_SC_CLK_TCK);
    const qint64 boot = bootTimeSecs();
    if (!ok || ticksPerSec <= 0 || boot < 0)
        return;
    info->startMSecs = boot * 1000 + ticks * 1000 / ticksPerSec;
}

} // namespace
#endif

#if defined(Q_OS_WIN)
namespace {

BOOL CALLBACK postCloseToWindowsOf(HWND window, LPARAM param)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == DWORD(param))
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

} // namespace
#endif

bool VlProcessMonitor_Process::isValidPid(qint64 pid)
{
#if defined(Q_OS_WIN)
    return pid > 0 && pid <= qint64(std::numeric_limits<DWORD>::max());
#elif defined(Q_OS_UNIX)
    return pid > 0 && pid <= qint64(std::numeric_limits<pid_t>::max());
#else
    return pid > 0 && pid <= qint64(std::numeric_limits<int>::max());
#endif
}

bool VlProcessMonitor_Process::isPrivateDirectory(const QString &path)
{
#if defined(Q_OS_UNIX)
    struct stat status;
    // Not followed: a link would lead to a directory chosen by whoever made the link.
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    if (status.st_uid != ::geteuid() || (status.st_mode & S_IWOTH))
        return false;
    // A group-writable directory is usual where every user has a group of their own.
    return !(status.st_mode & S_IWGRP) || status.st_gid == ::getegid();
#else
    // The temporary directory belongs to the user's own profile.
    Q_UNUSED(path);
    return true;
#endif
}

bool VlProcessMonitor_Process::openPrivateAppend(
    QFile *file, const QString &path, QString *errorMessage)
{
#if defined(Q_OS_UNIX)
    // The mode is given at creation, so the file is never readable by others, not even for a
    // moment; an existing file keeps its own mode.
    const int fd = ::open(
        QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errorMessage)
            *errorMessage = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    file->setFileName(path); // for messages; the descriptor is what is written to
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (errorMessage)
            *errorMessage = file->errorString();
        return false;
    }
    return true;
#else
    // A new file takes the permissions that its folder passes on.
    file->setFileName(path);
    if (file->open(QIODevice::WriteOnly | QIODevice::Append))
        return true;
    if (errorMessage)
        *errorMessage = file->errorString();
    return false;
#endif
}

VlProcessMonitor_Process::Info VlProcessMonitor_Process::inspect(qint64 pid)
{
    Info info;
    if (!isValidPid(pid))
        return info;
#if defined(Q_OS_UNIX)
    if (::kill(pid_t(pid), 0) == 0)
        info.state = Running;
    else if (errno == EPERM)
        info.state = NotPermitted;
    else
        return info;
#if defined(Q_OS_LINUX)
    readProcStat(pid, &info);
    if (info.state == Gone)
        info.startMSecs = -1;
#endif
#elif defined(Q_OS_WIN)
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process) {
        if (GetLastError() == ERROR_ACCESS_DENIED)
            info.state = NotPermitted;
        return info;
    }
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE) {
        info.state = Running;
        FILETIME created, exited, kernel, user;
        if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
            ULARGE_INTEGER ticks;
            ticks.LowPart = created.dwLowDateTime;
            ticks.HighPart = created.dwHighDateTime;
            // 100 ns units since 1601-01-01.
            info.startMSecs = qint64(ticks.QuadPart / 10000) - Q_INT64_C(11644473600000);
        }
    }
    CloseHandle(process);
#endif
    return info;
}

VlProcessMonitor_Process::Results VlProcessMonitor_Process::askToEnd(qint64 pid)
{
    if (!isValidPid(pid))
        return NoProcess;
#if defined(Q_OS_UNIX)
    if (::kill(pid_t(pid), SIGTERM) == 0)
        return Sent;
    return errno == ESRCH ? NoProcess : errno == EPERM ? Denied : Failed;
#elif defined(Q_OS_WIN)
    // Windows has no termination request for a process as such; closing its windows is what
    // a user would do.
    EnumWindows(postCloseToWindowsOf, LPARAM(pid));
    return Sent;
#else
    return Failed;
#endif
}

VlProcessMonitor_Process::Results VlProcessMonitor_Process::forceEnd(qint64 pid)
{
    if (!isValidPid(pid))
        return NoProcess;
#if defined(Q_OS_UNIX)
    if (::kill(pid_t(pid), SIGKILL) == 0)
        return Sent;
    return errno == ESRCH ? NoProcess : errno == EPERM ? Denied : Failed;
#elif defined(Q_OS_WIN)
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED ? Denied : NoProcess;
    const bool ended = TerminateProcess(process, 1);
    CloseHandle(process);
    return ended ? Sent : Failed;
#else
    return Failed;
#endif
}

} // namespace Vela
