#include "VlPdfRenderPool.h"

#include "VlContentReader.h"
#include "VlPageMemory.h"
#include "VlPdfHostProtocol.h"

#include <VlPdf_p.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <chrono>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

#ifndef VELA_PDF_HOST_NAME
#define VELA_PDF_HOST_NAME "vela-pdf-host"
#endif
#ifndef VELA_PDF_HOST_FROM_LIBRARY
#define VELA_PDF_HOST_FROM_LIBRARY "../libexec/vela"
#endif

namespace Vela {

namespace {

std::atomic<int> processCountSetting {0};
std::atomic<int> timeoutSetting {30000};
std::atomic<quint64> memoryLimitSetting {2ull * 1024 * 1024 * 1024};
std::atomic<VlPdfRenderPool *> created {nullptr};
std::atomic<bool> shutDown {false};

// Documents remembered as having killed a process; the oldest is forgotten first.
constexpr std::size_t rememberedStrikes = 64;
constexpr int strikesToRefuse = 2;

using Clock = std::chrono::steady_clock;
using Protocol = VlPdfHostProtocol;

} // namespace

bool VlPdfRenderPool::supported()
{
#ifdef Q_OS_LINUX
    return true;
#else
    return false;
#endif
}

void VlPdfRenderPool::setProcessCount(int count)
{
    processCountSetting.store(qMax(0, count));
}

int VlPdfRenderPool::processCount()
{
    return processCountSetting.load();
}

void VlPdfRenderPool::setTimeout(int msec)
{
    timeoutSetting.store(msec);
}

int VlPdfRenderPool::timeout()
{
    return timeoutSetting.load();
}

void VlPdfRenderPool::setMemoryLimit(quint64 bytes)
{
    memoryLimitSetting.store(bytes);
}

quint64 VlPdfRenderPool::memoryLimit()
{
    return memoryLimitSetting.load();
}

VlPdfRenderPool *VlPdfRenderPool::instance()
{
    static VlPdfRenderPool *const pool = [] {
        auto *made = new VlPdfRenderPool();
        created.store(made);
        return made;
    }();
    return shutDown.load() ? nullptr : pool;
}

VlPdfRenderPool *VlPdfRenderPool::createdInstance()
{
    return created.load();
}

QString VlPdfRenderPool::hostProgram()
{
    const QString overridden = qEnvironmentVariable("VELA_PDF_HOST");
    if (!overridden.isEmpty())
        return overridden;
    const QString name = QStringLiteral(VELA_PDF_HOST_NAME);
#ifdef Q_OS_LINUX
    // Installed, the program lives in libexec, at a fixed place relative to this library. The
    // loader may name the library by a path through a link (/lib is /usr/lib on Debian, and
    // its cache names /lib), so the relative step starts from the real folder.
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void *>(&VlPdfRenderPool::hostProgram), &info) && info.dli_fname) {
        const QString installed = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalPath()
            + QLatin1Char('/') + QStringLiteral(VELA_PDF_HOST_FROM_LIBRARY) + QLatin1Char('/')
            + name;
        if (QFileInfo(installed).isExecutable())
            return QDir::cleanPath(installed);
    }
#endif
    // Deployed beside the application (a build tree, or a consumer's own folder).
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(name);
}

#ifdef Q_OS_LINUX

struct VlPdfRenderPool::Process
{
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process()
    {
        if (canvas >= 0)
            close(canvas);
    }

    pid_t pid = 0;
    int fd = -1;
    bool busy = false;
    // Set under the mutex by whoever is about to kill and reap it; shutdown() leaves it be.
    bool ending = false;
    Clock::time_point idleSince;
    // The memory the process draws every page into; only the worker using the process reads
    // it. Read, not mapped: mapped, it would count in this process's resident memory.
    int canvas = -1;
    quint64 canvasSize = 0;
};

// A request for a new process: the worker waits for it, or the pool keeps it (prestart).
struct VlPdfRenderPool::Start
{
    bool forPool = false;
    bool done = false;
    std::shared_ptr<Process> process;
};

namespace {

// Waits for one datagram until the deadline (none when it is Clock::time_point::max()).
// Returns the datagram's size, -1 when the socket closed or failed, -2 on timeout. Any
// descriptor that comes along is closed; their number and truncation are reported.
long receiveUntil(int fd, Clock::time_point deadline, Protocol::Message *message, int *descriptors,
    bool *truncated)
{
    for (;;) {
        int wait = -1;
        if (deadline != Clock::time_point::max()) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                      .count();
            if (left <= 0)
                return -2;
            wait = int(qMin<long long>(left, 1 << 30));
        }
        pollfd polled = {fd, POLLIN, 0};
        const int ready = poll(&polled, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        if (ready == 0)
            continue; // the deadline is checked above
        break;
    }
    return Protocol::receive(fd, message, nullptr, descriptors, truncated, false);
}

// Shared memory of exactly size bytes that cannot shrink or grow while the other side maps
// it; bytes, when given, are its content, and it is then sealed against writing too.
int sharedMemory(quint64 size, const QByteArray *bytes)
{
    const int fd = memfd_create("vela-pdf", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    bool ok = ftruncate(fd, off_t(size)) == 0;
    if (ok && bytes) {
        qint64 done = 0;
        while (ok && done < bytes->size()) {
            const ssize_t wrote = pwrite(fd, bytes->constData() + done, bytes->size() - done, done);
            if (wrote < 0 && errno == EINTR)
                continue;
            ok = wrote > 0;
            done += qMax<ssize_t>(wrote, 0);
        }
    }
    const int seals = F_SEAL_SHRINK | F_SEAL_GROW | (bytes ? F_SEAL_WRITE | F_SEAL_SEAL : 0);
    if (!ok || fcntl(fd, F_ADD_SEALS, seals) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Canvases grow in steps of this, so that pages of nearly one size share one.
constexpr quint64 canvasStep = 1 << 20;

// A copy of the page the process drew into its canvas. The canvas is reused for the next
// page: memory new to a process costs a fault per memory page when first written, several
// times the drawing of a text page, while a copy between warm buffers costs little. The copy
// is also this process's own: whatever the render process does afterwards, the image never
// changes under its readers.
std::shared_ptr<QImage> copiedImage(int canvas, int width, int height)
{
    std::shared_ptr<QImage> image
        = VlPageMemory::image(QSize(width, height), QImage::Format_ARGB32);
    if (!image)
        return nullptr;
    const auto size = std::size_t(Protocol::canvasBytes(width, height));
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(canvas, image->bits() + done, size - done, off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return nullptr;
        done += std::size_t(got);
    }
    return image;
}

void killAndReap(pid_t pid)
{
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
}

} // namespace

void VlPdfRenderPool::ensureThread()
{
    // Called under the mutex.
    if (threadStarted)
        return;
    threadStarted = true;
    thread = std::thread([this] { run(); });
}

void VlPdfRenderPool::prestart()
{
    std::lock_guard<std::mutex> locker(mutex);
    if (stopping || starting > 0 || int(processes.size()) >= processCount())
        return;
    for (const auto &process : processes) {
        if (!process->busy)
            return;
    }
    auto start = std::make_shared<Start>();
    start->forPool = true;
    ++starting;
    startQueue.push_back(start);
    ensureThread();
    changed.notify_all();
}

std::shared_ptr<VlPdfRenderPool::Process> VlPdfRenderPool::acquire()
{
    std::unique_lock<std::mutex> locker(mutex);
    std::shared_ptr<Start> mine;
    for (;;) {
        if (mine && mine->done) {
            // Started for this request; it is already marked busy.
            return mine->process;
        }
        if (stopping)
            return nullptr;
        // Whichever process is idle first: one started ahead, or freed by another worker,
        // is often ready long before the one started for this request.
        for (const auto &process : processes) {
            if (!process->busy) {
                process->busy = true;
                if (mine)
                    mine->forPool = true; // the pool keeps it for the next request
                return process;
            }
        }
        if (!mine) {
            if (int(processes.size()) + starting < qMax(1, processCount())) {
                mine = std::make_shared<Start>();
                ++starting;
                startQueue.push_back(mine);
                ensureThread();
                changed.notify_all();
            }
        }
        changed.wait(locker);
    }
}

void VlPdfRenderPool::release(const std::shared_ptr<Process> &process, bool healthy)
{
    std::unique_lock<std::mutex> locker(mutex);
    // A process beyond a count lowered meanwhile goes at once.
    const bool keep = healthy && !stopping && int(processes.size()) <= processCount();
    if (keep) {
        process->busy = false;
        process->idleSince = Clock::now();
        changed.notify_all();
        return;
    }
    locker.unlock();
    end(process);
}

void VlPdfRenderPool::end(const std::shared_ptr<Process> &process)
{
    {
        std::lock_guard<std::mutex> locker(mutex);
        process->ending = true;
    }
    killAndReap(process->pid);
    close(process->fd);
    std::lock_guard<std::mutex> locker(mutex);
    processes.remove(process);
    changed.notify_all();
}

std::shared_ptr<VlPdfRenderPool::Process> VlPdfRenderPool::startProcess()
{
    const QByteArray program = QFile::encodeName(hostProgram());
    const QByteArray renderer = QFile::encodeName(vlPdfRendererPath());
    const QByteArray parent = QByteArray::number(qint64(getpid()));
    const QByteArray memory = QByteArray::number(memoryLimit());
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The child's end becomes descriptor 3; dup2 clears its close-on-exec flag.
    posix_spawn_file_actions_adddup2(&actions, ends[1], 3);
    const char *argv[] = {program.constData(), "--parent", parent.constData(), "--renderer",
        renderer.constData(), "--memory", memory.constData(), nullptr};
    pid_t pid = 0;
    const int failed = posix_spawn(
        &pid, program.constData(), &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> locker(mutex);
        startingPid = pid;
    }

    // Ready comes once PDFium is loaded and the sandbox entered; a program that cannot do
    // that ends, or is ended here, and counts as not started.
    const int limit = timeout();
    const Clock::time_point deadline
        = Clock::now() + std::chrono::milliseconds(limit > 0 ? qMax(limit, 10000) : 30000);
    Protocol::Message ready;
    int descriptors = 0;
    bool truncated = false;
    const long got = receiveUntil(ends[0], deadline, &ready, &descriptors, &truncated);
    {
        std::lock_guard<std::mutex> locker(mutex);
        startingPid = 0;
    }
    if (got != long(sizeof(ready)) || descriptors || truncated || ready.magic != Protocol::magic
        || ready.type != Protocol::Ready) {
        killAndReap(pid);
        close(ends[0]);
        return nullptr;
    }
    auto process = std::make_shared<Process>();
    process->pid = pid;
    process->fd = ends[0];
    return process;
}

void VlPdfRenderPool::run()
{
    std::unique_lock<std::mutex> locker(mutex);
    for (;;) {
        if (!startQueue.empty()) {
            std::shared_ptr<Start> start = startQueue.front();
            startQueue.pop_front();
            std::shared_ptr<Process> process;
            if (!stopping) {
                locker.unlock();
                process = startProcess();
                locker.lock();
            }
            if (process && stopping) {
                locker.unlock();
                killAndReap(process->pid);
                close(process->fd);
                locker.lock();
                process.reset();
            }
            --starting;
            if (process) {
                process->busy = !start->forPool;
                process->idleSince = Clock::now();
                processes.push_back(process);
            }
            start->process = process;
            start->done = true;
            changed.notify_all();
            continue;
        }
        if (stopping)
            return;

        // Idle processes go after the reader's idle thread timeout, like its threads.
        const int idle = VlContentReader::idleThreadTimeout();
        Clock::time_point wake = Clock::time_point::max();
        if (idle > 0) {
            const auto allowed = std::chrono::milliseconds(idle);
            std::shared_ptr<Process> expired;
            for (const auto &process : processes) {
                if (process->busy)
                    continue;
                if (Clock::now() - process->idleSince >= allowed) {
                    expired = process;
                    break;
                }
                wake = qMin(wake, process->idleSince + allowed);
            }
            if (expired) {
                processes.remove(expired);
                locker.unlock();
                killAndReap(expired->pid);
                close(expired->fd);
                locker.lock();
                continue;
            }
            // A timeout changed meanwhile is seen within a second.
            wake = qMin(wake, Clock::now() + std::chrono::seconds(1));
        }
        if (wake == Clock::time_point::max())
            changed.wait(locker);
        else
            changed.wait_until(locker, wake);
    }
}

bool VlPdfRenderPool::refused(const QString &digest)
{
    std::lock_guard<std::mutex> locker(mutex);
    for (const auto &entry : strikes) {
        if (entry.first == digest)
            return entry.second >= strikesToRefuse;
    }
    return false;
}

void VlPdfRenderPool::strike(const QString &digest)
{
    std::lock_guard<std::mutex> locker(mutex);
    if (stopping)
        return;
    for (auto &entry : strikes) {
        if (entry.first == digest) {
            ++entry.second;
            return;
        }
    }
    strikes.emplace_back(digest, 1);
    if (strikes.size() > rememberedStrikes)
        strikes.pop_front();
}

VlPdfRenderPool::Talk VlPdfRenderPool::exchange(const std::shared_ptr<Process> &process,
    const QByteArray &bytes, const QString &digest, int pageIndex, const QSize &size, quint64 limit,
    Result *result)
{
    // A process that died while idle never saw this request: not the document's fault. It
    // is left a zombie here, so that its id stays its own until end() reaps it.
    siginfo_t exited = {};
    if (waitid(P_PID, id_t(process->pid), &exited, WEXITED | WNOHANG | WNOWAIT) == 0
        && exited.si_pid == process->pid)
        return Talk::Gone;
    const int msec = timeout();
    const Clock::time_point deadline
        = msec > 0 ? Clock::now() + std::chrono::milliseconds(msec) : Clock::time_point::max();

    Protocol::Message page;
    page.type = Protocol::Page;
    page.pageIndex = pageIndex;
    page.limit = limit;
    // The size to fit the page into; none is the natural size.
    page.width = size.isEmpty() ? 0 : size.width();
    page.height = size.isEmpty() ? 0 : size.height();
    Protocol::setDigest(&page, digest);
    if (!Protocol::send(process->fd, page))
        return Talk::Gone;

    Protocol::Expectation expect;
    expect.pageIndex = pageIndex;
    expect.limit = limit;
    for (;;) {
        Protocol::Message message;
        int descriptors = 0;
        bool truncated = false;
        const long got = receiveUntil(process->fd, deadline, &message, &descriptors, &truncated);
        if (got == -2)
            return Talk::TimedOut;
        Protocol::Reply reply;
        if (got < 0
            || !Protocol::readReply(reinterpret_cast<const char *>(&message), std::size_t(got),
                descriptors, truncated, expect, &reply))
            return Talk::Broken;

        switch (reply.type) {
        case Protocol::NeedDocument: {
            const int document = sharedMemory(quint64(bytes.size()), &bytes);
            Protocol::Message sent;
            sent.type = Protocol::Document;
            sent.size = document >= 0 ? quint64(bytes.size()) : 0;
            const bool ok = Protocol::send(process->fd, sent, document);
            if (document >= 0)
                close(document);
            if (!ok)
                return Talk::Broken;
            expect.documentSent = true;
            break;
        }
        case Protocol::Failed:
            result->outcome = Outcome::NotADocument;
            return Talk::Answered;
        case Protocol::Counted:
            result->pageCount = reply.pageCount;
            result->page = reply.page;
            if (reply.status == Protocol::NoPage) {
                result->outcome = Outcome::NoPage;
                return Talk::Answered;
            }
            if (reply.status == Protocol::NoImage || reply.status == Protocol::TooLarge) {
                result->outcome
                    = reply.status == Protocol::TooLarge ? Outcome::TooLarge : Outcome::NoImage;
                return Talk::Answered;
            }
            if (!sendCanvas(process.get(), Protocol::canvasBytes(reply.width, reply.height)))
                return Talk::Broken;
            expect.canvasSent = true;
            expect.width = reply.width;
            expect.height = reply.height;
            break;
        case Protocol::Drawn:
            // Without a canvas large enough the host cannot have drawn; nor can the page be
            // kept without memory for its copy.
            if (reply.status == Protocol::DrawnOk
                && process->canvasSize >= Protocol::canvasBytes(reply.width, reply.height))
                result->image = copiedImage(process->canvas, reply.width, reply.height);
            if (process->canvasSize > Protocol::keptCanvasBytes) {
                // Let go by the process too (see keptCanvasBytes).
                close(process->canvas);
                process->canvas = -1;
                process->canvasSize = 0;
            }
            result->outcome = result->image ? Outcome::Drawn : Outcome::NoImage;
            return Talk::Answered;
        default:
            return Talk::Broken;
        }
    }
}

bool VlPdfRenderPool::sendCanvas(Process *process, quint64 bytes)
{
    Protocol::Message sent;
    sent.type = Protocol::Canvas;
    if (process->canvasSize >= bytes) {
        sent.size = process->canvasSize;
        return Protocol::send(process->fd, sent);
    }
    if (process->canvas >= 0)
        close(process->canvas);
    const quint64 size = (bytes + canvasStep - 1) / canvasStep * canvasStep;
    // Sealed against shrinking and growing: what the process maps stays what this side reads.
    process->canvas = sharedMemory(size, nullptr);
    process->canvasSize = process->canvas >= 0 ? size : 0;
    // Without memory for the page the host answers NoImage, as PDFium would.
    sent.size = process->canvasSize;
    return Protocol::send(process->fd, sent, process->canvas);
}

VlPdfRenderPool::Result VlPdfRenderPool::render(
    const QByteArray &bytes, const QString &digest, int pageIndex, const QSize &size, quint64 limit)
{
    Result result;
    if (refused(digest)) {
        result.outcome = Outcome::Stopped;
        return result;
    }
    bool retried = false;
    for (;;) {
        const std::shared_ptr<Process> process = acquire();
        if (!process) {
            result.outcome = Outcome::NotStarted;
            return result;
        }
        result = Result();
        const Talk talk = exchange(process, bytes, digest, pageIndex, size, limit, &result);
        switch (talk) {
        case Talk::Answered:
            release(process, true);
            return result;
        case Talk::Gone:
            end(process);
            if (!retried) {
                retried = true;
                continue;
            }
            result = Result();
            result.outcome = Outcome::Stopped;
            return result;
        case Talk::Broken:
        case Talk::TimedOut:
            end(process);
            strike(digest);
            {
                const int pageCount = result.pageCount;
                result = Result();
                result.pageCount = pageCount;
            }
            result.outcome = talk == Talk::TimedOut ? Outcome::TimedOut : Outcome::Stopped;
            return result;
        }
    }
}

void VlPdfRenderPool::shutdown()
{
    std::unique_lock<std::mutex> locker(mutex);
    if (stopping)
        return;
    stopping = true;
    shutDown.store(true);
    // Busy processes belong to their workers, who see the socket close and reap them; a
    // starting one is killed so that its start gives up at once.
    std::list<std::shared_ptr<Process>> idle;
    for (const auto &process : processes) {
        if (process->ending)
            continue;
        kill(process->pid, SIGKILL);
        if (!process->busy)
            idle.push_back(process);
    }
    if (startingPid > 0)
        kill(pid_t(startingPid), SIGKILL);
    for (const auto &process : idle)
        processes.remove(process);
    changed.notify_all();
    locker.unlock();
    for (const auto &process : idle) {
        while (waitpid(process->pid, nullptr, 0) < 0 && errno == EINTR) { }
        close(process->fd);
    }
    locker.lock();
    changed.wait(locker, [this] { return processes.empty() && starting == 0; });
    const bool join = threadStarted;
    locker.unlock();
    if (join)
        thread.join();
}

#else // not Q_OS_LINUX: no render processes; the reader draws in its own threads.

struct VlPdfRenderPool::Process
{ };
struct VlPdfRenderPool::Start
{ };

void VlPdfRenderPool::prestart() { }

VlPdfRenderPool::Result VlPdfRenderPool::render(
    const QByteArray &, const QString &, int, const QSize &, quint64)
{
    return Result();
}

void VlPdfRenderPool::shutdown()
{
    shutDown.store(true);
}

#endif

} // namespace Vela
