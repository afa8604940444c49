#ifndef VELA_VLPDFRENDERPOOL_H
#define VELA_VLPDFRENDERPOOL_H

// Not installed: the render processes (vela-pdf-host) that draw PDF pages for the content
// reader when VlContentReader::setPdfRenderProcesses() asked for them.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace Vela {

// At most processCount() render processes, started on demand, each drawing one page at a
// time. A worker that wants a page takes an idle process (or has one started), asks it, and
// waits for the answer up to timeout(); a request is never tied to a process before it is
// sent, so a process that dies costs only the page it was drawing.
//
// Threads: render() and prestart() are called from the readers' worker threads and block
// only the caller. Processes are started and, once idle for the reader's idle thread timeout,
// ended by the pool's own thread, which lives until shutdown(): a render process gets
// SIGKILL when the thread that started it ends, so no short-lived thread may start one. A
// process in use belongs to the worker using it, which also reaps it if it dies; idle ones
// belong to the pool. One mutex guards the process list, the start queue and the refusals.
class VlPdfRenderPool
{
public:
    enum class Outcome {
        Drawn, // image holds the page, flattened onto white
        NotADocument, // PDFium refused the bytes
        NoPage, // pageCount is known; the page index is not below it
        NoImage, // pageCount is known; the page cannot be drawn
        TooLarge, // pageCount is known; the page would draw to more than limit bytes
        Stopped, // the process died or broke the protocol (or the document is refused)
        TimedOut, // no answer within timeout(); the process was killed
        NotStarted, // the render program cannot be found or started
    };
    struct Result
    {
        Outcome outcome = Outcome::NotStarted;
        int pageCount = -1; // -1 when the document was not counted
        int page = -1;
        std::shared_ptr<QImage> image;
    };

    // False where render processes are not built (anything but Linux): the reader then draws
    // in its own threads whatever the count.
    static bool supported();
    static void setProcessCount(int count);
    static int processCount();
    static void setTimeout(int msec);
    static int timeout();
    static void setMemoryLimit(quint64 bytes);
    static quint64 memoryLimit();
    // The program started: $VELA_PDF_HOST, else beside the installed library, else beside
    // the application.
    static QString hostProgram();

    // Made on first use and never deleted; null after shutdown().
    static VlPdfRenderPool *instance();
    // The pool when it was ever made, without making it.
    static VlPdfRenderPool *createdInstance();

    // Starts a process ahead of a request when none is idle or starting, so that it loads
    // while the caller reads and hashes its file.
    void prestart();
    // Draws page pageIndex (-1: the last) of the document bytes, whose content digest is
    // digest, fitted into size (natural size when size is empty), refusing a page of more than
    // limit bytes.
    Result render(const QByteArray &bytes, const QString &digest, int pageIndex, const QSize &size,
        quint64 limit);
    // Ends every process and waits for them; afterwards render() answers NotStarted.
    void shutdown();

    VlPdfRenderPool(const VlPdfRenderPool &) = delete;
    VlPdfRenderPool &operator=(const VlPdfRenderPool &) = delete;

private:
    struct Process;
    struct Start;
    enum class Talk { Answered, Gone, Broken, TimedOut };

    VlPdfRenderPool() = default;
    ~VlPdfRenderPool() = default;

    std::shared_ptr<Process> acquire();
    void release(const std::shared_ptr<Process> &process, bool healthy);
    void end(const std::shared_ptr<Process> &process);
    void run();
    std::shared_ptr<Process> startProcess();
    Talk exchange(const std::shared_ptr<Process> &process, const QByteArray &bytes,
        const QString &digest, int pageIndex, const QSize &size, quint64 limit, Result *result);
    // Tells the process where to draw a page of bytes: the canvas it has, or a larger one.
    static bool sendCanvas(Process *process, quint64 bytes);
    bool refused(const QString &digest);
    void strike(const QString &digest);
    void ensureThread();

    std::mutex mutex;
    std::condition_variable changed;
    std::list<std::shared_ptr<Process>> processes;
    std::deque<std::shared_ptr<Start>> startQueue;
    int starting = 0;
    long startingPid = 0;
    bool stopping = false;
    bool threadStarted = false;
    std::thread thread;
    // Digests of documents that made a process die, with the count, oldest first.
    std::deque<std::pair<QString, int>> strikes;
};

} // namespace Vela

#endif
