#include "FuzzTargets.h"

#include <VlPdfHostProtocol.h>

#include <QtEndian>

using Vela::VlPdfHostProtocol;

namespace VelaFuzz {

// The parent's check of a render process's reply. The first 8 bytes say what the parent
// asked (flags, descriptors that came along, page index, byte limit, canvas size); the rest
// is the datagram. Whatever is accepted must be something the parent can act on safely.
bool reply(const QByteArray &input)
{
    if (input.size() < 8)
        return true;
    const auto *head = reinterpret_cast<const uchar *>(input.constData());
    VlPdfHostProtocol::Expectation expect;
    expect.documentSent = head[0] & 1;
    expect.canvasSent = head[0] & 2;
    const bool truncated = head[0] & 4;
    const int descriptors = head[1] % 3;
    expect.pageIndex = qint8(head[2]);
    expect.limit = quint64(1) << (head[3] % 40);
    expect.width = qFromLittleEndian<quint16>(head + 4);
    expect.height = qFromLittleEndian<quint16>(head + 6);
    const QByteArray datagram = input.mid(8);

    using P = VlPdfHostProtocol;
    P::Reply reply;
    if (!P::readReply(datagram.constData(), std::size_t(datagram.size()), descriptors, truncated,
            expect, &reply))
        return true;
    bool ok = check(descriptors == 0 && !truncated, "a reply with descriptors is refused");
    ok &= check(datagram.size() == int(sizeof(P::Message)), "a reply is one whole record");
    switch (reply.type) {
    case P::NeedDocument:
        ok &= check(!expect.documentSent && !expect.canvasSent, "a document is asked for once");
        break;
    case P::Failed:
        ok &= check(!expect.canvasSent, "a drawn page does not fail to load");
        break;
    case P::Counted: {
        ok &= check(!expect.canvasSent && reply.pageCount >= 0, "a count is not negative");
        const bool exists = reply.pageCount > 0 && expect.pageIndex < reply.pageCount;
        ok &= check((reply.status == P::NoPage) == !exists, "no page exactly when none exists");
        if (reply.status == P::Draw) {
            ok &= check(reply.page >= 0 && reply.page < reply.pageCount, "the page exists");
            ok &= check(
                reply.page == (expect.pageIndex == -1 ? reply.pageCount - 1 : expect.pageIndex),
                "the page is the one asked for");
            const quint64 bytes = P::canvasBytes(reply.width, reply.height);
            ok &= check(bytes > 0 && bytes <= expect.limit, "a canvas within the limit");
        }
        break;
    }
    case P::Drawn:
        ok &= check(expect.canvasSent, "drawn only after a canvas");
        ok &= check(reply.width == expect.width && reply.height == expect.height,
            "drawn at the canvas's size");
        break;
    default:
        ok &= check(false, "a known reply");
    }
    return ok;
}

} // namespace VelaFuzz
