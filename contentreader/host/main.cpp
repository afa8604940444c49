// vela-pdf-host: draws PDF pages for the content reader of its parent process, in a sandbox.
//
//   vela-pdf-host --parent PID --renderer LIBPDFIUM --memory BYTES
//
// The parent starts it with one end of a SOCK_SEQPACKET socket pair as descriptor 3 and
// speaks VlPdfHostProtocol over it. The program loads PDFium, confines itself, and from then
// on only answers: it opens no document of its own, and the documents and canvases it works
// on arrive as memory. It ends when the socket closes, and with its parent.
#include "VlPdfHostProtocol.h"
#include "VlPdfSandbox.h"

#include <VlPdf.h>
#include <VlPdf_p.h>

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>
#include <memory>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace Vela;

namespace {

using Protocol = VlPdfHostProtocol;

constexpr int socketFd = 3;
// Parsed documents kept, so that consecutive pages of one document are not parsed again.
constexpr std::size_t keptDocuments = 4;

enum Exit { Done = 0, BadArguments = 2, NoRenderer = 3, NoSandbox = 4, Orphaned = 5 };

// One document the parent sent: its bytes stay mapped while PDFium has it open.
class HeldDocument
{
public:
    HeldDocument(QByteArray digest, void *bytes, std::size_t size)
        : digest(std::move(digest))
        , bytes(bytes)
        , size(size)
    { }
    ~HeldDocument()
    {
        pdf.close();
        if (bytes)
            munmap(bytes, size);
    }
    HeldDocument(const HeldDocument &) = delete;
    HeldDocument &operator=(const HeldDocument &) = delete;

    const QByteArray digest;
    void *const bytes;
    const std::size_t size;
    VlPdf pdf;
};

// The memory the parent gave for pages, kept mapped: every page is drawn into it, so that
// only the first one pays for memory new to the process.
struct Canvas
{
    Canvas() = default;
    Canvas(const Canvas &) = delete;
    Canvas &operator=(const Canvas &) = delete;
    ~Canvas() { replace(-1); }

    // Maps the memory of fd in place of the present canvas (none when fd is -1 or cannot be
    // mapped); fd is closed either way.
    void replace(int fd)
    {
        if (bytes)
            munmap(bytes, size);
        bytes = nullptr;
        size = 0;
        struct stat info = {};
        if (fd >= 0 && fstat(fd, &info) == 0 && info.st_size > 0) {
            void *mapped = mmap(
                nullptr, std::size_t(info.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (mapped != MAP_FAILED) {
                bytes = mapped;
                size = std::size_t(info.st_size);
            }
        }
        if (fd >= 0)
            close(fd);
    }

    void *bytes = nullptr;
    std::size_t size = 0;
};

// Receives one message and at most one descriptor. False when the socket closed or broke.
bool receive(Protocol::Message *message, int *fd)
{
    int descriptors = 0;
    bool truncated = false;
    const long got = Protocol::receive(socketFd, message, fd, &descriptors, &truncated, true);
    if (got != long(sizeof(*message)) || truncated || message->magic != Protocol::magic) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
        return false;
    }
    return true;
}

bool send(const Protocol::Message &message)
{
    return Protocol::send(socketFd, message);
}

// Maps a document the parent sent; the descriptor is closed either way.
std::unique_ptr<HeldDocument> map(const QByteArray &digest, int fd, quint64 size)
{
    struct stat info = {};
    void *bytes = nullptr;
    if (fd >= 0 && fstat(fd, &info) == 0 && quint64(info.st_size) == size && size > 0
        && size < quint64(std::numeric_limits<int>::max())) {
        bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (bytes == MAP_FAILED)
            bytes = nullptr;
    }
    if (fd >= 0)
        close(fd);
    return std::make_unique<HeldDocument>(digest, bytes, bytes ? std::size_t(size) : 0);
}

// Answers one page request; false when the parent went away or broke the protocol.
bool answer(const Protocol::Message &request, std::list<std::unique_ptr<HeldDocument>> *held,
    Canvas *canvas)
{
    const QByteArray digest = Protocol::digestOf(request);
    auto found = held->begin();
    while (found != held->end() && (*found)->digest != digest)
        ++found;
    if (found == held->end()) {
        Protocol::Message need;
        need.type = Protocol::NeedDocument;
        if (!send(need))
            return false;
        Protocol::Message document;
        int fd;
        if (!receive(&document, &fd) || document.type != Protocol::Document) {
            if (fd >= 0)
                close(fd);
            return false;
        }
        std::unique_ptr<HeldDocument> loaded = map(digest, fd, document.size);
        const bool ok
            = loaded->bytes && loaded->pdf.load(loaded->bytes, int(loaded->size), QString());
        if (!ok) {
            Protocol::Message failed;
            failed.type = Protocol::Failed;
            return send(failed);
        }
        held->push_front(std::move(loaded));
        if (held->size() > keptDocuments)
            held->pop_back();
        found = held->begin();
    } else if (found != held->begin()) {
        held->splice(held->begin(), *held, found);
        found = held->begin();
    }
    VlPdf &pdf = (*found)->pdf;

    Protocol::Message counted;
    counted.type = Protocol::Counted;
    counted.pageCount = qMax(0, pdf.pageCount());
    const int index = request.pageIndex;
    if (counted.pageCount < 1 || index < -1 || index >= counted.pageCount) {
        counted.status = Protocol::NoPage;
        return send(counted);
    }
    const int page = index == -1 ? counted.pageCount - 1 : index;
    counted.page = page;
    const QSize fitInto
        = request.width > 0 && request.height > 0 ? QSize(request.width, request.height) : QSize();
    const QSize pixels = pdf.renderSize(page, fitInto);
    const quint64 bytes = VlPdf::renderBytes(pixels);
    if (bytes == 0 || bytes > request.limit) {
        counted.status = bytes == 0 ? Protocol::NoImage : Protocol::TooLarge;
        return send(counted);
    }
    counted.status = Protocol::Draw;
    counted.width = pixels.width();
    counted.height = pixels.height();
    if (!send(counted))
        return false;

    Protocol::Message canvasMessage;
    int fd;
    if (!receive(&canvasMessage, &fd) || canvasMessage.type != Protocol::Canvas) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    if (fd >= 0)
        canvas->replace(fd);
    Protocol::Message drawn;
    drawn.type = Protocol::Drawn;
    drawn.status = Protocol::NoImage;
    if (canvas->size >= bytes) {
        QImage image(static_cast<uchar *>(canvas->bytes), pixels.width(), pixels.height(),
            pixels.width() * 4, QImage::Format_ARGB32);
        if (vlPdfRenderOntoWhite(pdf, page, fitInto, &image))
            drawn.status = Protocol::DrawnOk;
    }
    // The parent's descriptor keeps the page until it has read it.
    if (canvas->size > Protocol::keptCanvasBytes)
        canvas->replace(-1);
    return send(drawn);
}

// Descriptors the parent may have let slip into this process (anything not opened
// close-on-exec) are closed before any document is looked at.
void closeInheritedDescriptors()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, socketFd + 1, ~0U, 0) == 0)
        return;
#endif
    const long last = sysconf(_SC_OPEN_MAX);
    for (long fd = socketFd + 1; fd < (last > 0 ? last : 1024); ++fd)
        close(int(fd));
}

} // namespace

int main(int argc, char **argv)
{
    long parent = 0;
    const char *renderer = nullptr;
    unsigned long long memory = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--parent"))
            parent = std::strtol(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--renderer"))
            renderer = argv[i + 1];
        else if (!std::strcmp(argv[i], "--memory"))
            memory = std::strtoull(argv[i + 1], nullptr, 10);
    }
    if (parent <= 0 || !renderer || memory == 0) {
        std::fprintf(stderr,
            "usage: vela-pdf-host --parent PID --renderer LIBPDFIUM --memory BYTES\n"
            "Started by the Vela content reader; not meant to be run by hand.\n");
        return BadArguments;
    }

    // Never outlive the parent: killed when it goes, and gone at once if it went already
    // between the start and this line (then the parent is someone else, often init).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != pid_t(parent))
        return Orphaned;
    closeInheritedDescriptors();

    vlPdfSetRendererPath(QString::fromLocal8Bit(renderer));
    {
        // Loads and initialises PDFium before the sandbox closes.
        VlPdf probe;
        if (!probe.isLibraryLoaded()) {
            std::fprintf(stderr, "vela-pdf-host: cannot load %s\n", renderer);
            return NoRenderer;
        }
    }
    // PDFium out of memory throws; the parent reports the stopped page, and the player's
    // standard error needs no account of it.
    std::set_terminate([] { std::abort(); });
    const char *failedStep = nullptr;
    if (!VlPdfSandbox::enter(memory, &failedStep)) {
        std::fprintf(stderr, "vela-pdf-host: cannot enter the sandbox (%s)\n", failedStep);
        return NoSandbox;
    }

    Protocol::Message ready;
    ready.type = Protocol::Ready;
    if (!send(ready))
        return Done;

    // The loop ends with _exit: exit handlers, a leak checker's among them, may do what
    // the sandbox forbids, and the parent has gone or no longer listens anyway.
    std::list<std::unique_ptr<HeldDocument>> held;
    Canvas canvas;
    for (;;) {
        Protocol::Message request;
        int fd;
        if (!receive(&request, &fd) || request.type != Protocol::Page)
            _exit(Done);
        if (fd >= 0)
            close(fd);
        if (!answer(request, &held, &canvas))
            _exit(Done);
    }
}
