#ifndef VELA_VLPDFHOSTPROTOCOL_H
#define VELA_VLPDFHOSTPROTOCOL_H

// Not installed: what the content reader and its render process (vela-pdf-host) say to each
// other over their socket, and the parent's check of every reply.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstddef>

namespace Vela {

// Every message, both ways, is one record of this exact size in one datagram of a
// SOCK_SEQPACKET socket pair; shared memory travels beside it as a descriptor.
//
// A started host first says Ready. A page is then asked for in up to three steps:
//   parent: Page (digest, page index, byte limit)
//   host:   NeedDocument, when it does not hold the document of that digest
//   parent: Document, with a sealed memfd holding the document's bytes
//   host:   Failed (PDFium refused the bytes) or Counted (page count and what comes next)
//   parent: Canvas, when Counted said Draw: with a memfd (sealed against shrinking) the first
//           time and whenever the page needs more than the last one held, else alone; the
//           host keeps the memory mapped and draws every page into it
//   host:   Drawn, the page drawn onto white at the start of the canvas, width * 4 bytes a
//           line (status Drawn or NoImage); the parent copies it out
class VlPdfHostProtocol
{
public:
    enum Type : quint32 {
        Page = 1,
        Document = 2,
        Canvas = 3,
        Ready = 100, // the host has loaded PDFium and entered its sandbox
        NeedDocument = 101,
        Failed = 102,
        Counted = 103,
        Drawn = 104,
    };
    // Counted: what the host found; Drawn: whether the canvas holds the page.
    enum Status : qint32 {
        Draw = 1, // the page can be drawn at width x height: send a canvas
        NoPage = 2, // no page of that index (or none at all)
        NoImage = 3, // the page cannot be drawn (PDFium failed)
        DrawnOk = 4,
        TooLarge = 5, // the page would draw to more bytes than the limit
    };

    static constexpr quint32 magic = 0x31485056; // "VPH1"
    static constexpr int digestBytes = 64;

    struct Message
    {
        quint32 magic = VlPdfHostProtocol::magic;
        quint32 type = 0;
        qint32 pageIndex = 0;
        qint32 pageCount = 0;
        qint32 page = 0;
        qint32 width = 0;
        qint32 height = 0;
        qint32 status = 0;
        quint64 limit = 0;
        quint64 size = 0;
        char digest[digestBytes] = {};
    };

    // What the parent expects next, and the request it belongs to.
    struct Expectation
    {
        bool documentSent = false; // NeedDocument is allowed only before the document went
        bool canvasSent = false; // only Drawn is allowed after a canvas
        int pageIndex = 0; // as asked, -1 for the last page
        quint64 limit = 0; // the most bytes a drawn page may have
        int width = 0; // of the canvas, when one was sent
        int height = 0;
    };

    // A reply that passed every check; anything else is treated as a crash of the host.
    struct Reply
    {
        Type type = Failed;
        Status status = NoImage;
        int pageCount = -1;
        int page = -1; // resolved page index, with Counted/Draw
        int width = 0;
        int height = 0;
    };

    // Checks one datagram of the host against what was asked. descriptors is the number of
    // file descriptors that came with it (a reply never carries any); truncated is true when
    // the datagram or its control data did not fit.
    static bool readReply(const char *data, std::size_t size, int descriptors, bool truncated,
        const Expectation &expect, Reply *reply);

#ifdef Q_OS_UNIX
    // Sends one message over socket, with descriptor beside it unless it is -1. False when
    // the other side is gone.
    static bool send(int socket, Message message, int descriptor = -1);
    // Receives one datagram of at most sizeof(Message) bytes into message; returns its size,
    // or -1 when the socket closed or failed. The first descriptor that came with it is kept
    // in *descriptor when that is given (else -1), every other one is closed; *descriptors
    // counts them all, and *truncated tells that the datagram or its descriptors did not fit.
    static long receive(int socket, Message *message, int *descriptor, int *descriptors,
        bool *truncated, bool wait);
#endif

    static void setDigest(Message *message, const QString &digest);
    static QByteArray digestOf(const Message &message);
    // Bytes of a page drawn at width x height, 0 when a side is not positive.
    static quint64 canvasBytes(int width, int height);
    // The largest canvas both sides keep after a page (a letter page at 300 dpi fits): a
    // larger one serves one page and is then let go by both, so that a poster drawn once does
    // not hold its memory for as long as the process lives.
    static constexpr quint64 keptCanvasBytes = 64ull * 1024 * 1024;
};

} // namespace Vela

#endif
