#include "VlPdfHostProtocol.h"

#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace Vela {

bool VlPdfHostProtocol::readReply(const char *data, std::size_t size, int descriptors,
    bool truncated, const Expectation &expect, Reply *reply)
{
    Message message;
    if (truncated || descriptors != 0 || size != sizeof(message) || !data)
        return false;
    std::memcpy(&message, data, sizeof(message));
    if (message.magic != magic)
        return false;

    Reply checked;
    switch (message.type) {
    case NeedDocument:
        if (expect.documentSent || expect.canvasSent)
            return false;
        checked.type = NeedDocument;
        break;
    case Failed:
        if (expect.canvasSent)
            return false;
        checked.type = Failed;
        break;
    case Counted: {
        if (expect.canvasSent)
            return false;
        checked.type = Counted;
        checked.pageCount = message.pageCount;
        if (checked.pageCount < 0)
            return false;
        // The host resolves -1 and compares with the count exactly as the reader would; a
        // host that claims otherwise is not believed.
        const bool exists = checked.pageCount > 0 && expect.pageIndex < checked.pageCount;
        const int resolved = expect.pageIndex == -1 ? checked.pageCount - 1 : expect.pageIndex;
        switch (message.status) {
        case NoPage:
            if (exists)
                return false;
            checked.status = NoPage;
            break;
        case NoImage:
        case TooLarge:
            if (!exists)
                return false;
            checked.status = Status(message.status);
            checked.page = resolved;
            break;
        case Draw: {
            if (!exists || message.page != resolved)
                return false;
            const quint64 bytes = canvasBytes(message.width, message.height);
            if (bytes == 0 || bytes > expect.limit)
                return false;
            checked.status = Draw;
            checked.page = resolved;
            checked.width = message.width;
            checked.height = message.height;
            break;
        }
        default:
            return false;
        }
        break;
    }
    case Drawn:
        if (!expect.canvasSent)
            return false;
        if (message.status != DrawnOk && message.status != NoImage)
            return false;
        checked.type = Drawn;
        checked.status = Status(message.status);
        checked.width = expect.width;
        checked.height = expect.height;
        break;
    default:
        return false;
    }
    *reply = checked;
    return true;
}

#ifdef Q_OS_UNIX

bool VlPdfHostProtocol::send(int socket, Message message, int descriptor)
{
    message.magic = magic;
    iovec io = {&message, sizeof(message)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header = {};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    if (descriptor >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof(control);
        cmsghdr *c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &descriptor, sizeof(int));
    }
    ssize_t sent;
    do {
        sent = sendmsg(socket, &header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == ssize_t(sizeof(message));
}

long VlPdfHostProtocol::receive(
    int socket, Message *message, int *descriptor, int *descriptors, bool *truncated, bool wait)
{
    iovec io = {message, sizeof(*message)};
    // Room for a few descriptors, so that a peer sending more is seen doing so.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr header = {};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    ssize_t got;
    do {
        got = recvmsg(socket, &header, MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT));
    } while (got < 0 && errno == EINTR);
    if (descriptor)
        *descriptor = -1;
    *descriptors = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (descriptor && *descriptor < 0)
                *descriptor = passed;
            else
                ::close(passed);
            ++*descriptors;
        }
    }
    *truncated = (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
    return got <= 0 ? -1 : long(got);
}

#endif

void VlPdfHostProtocol::setDigest(Message *message, const QString &digest)
{
    const QByteArray latin = digest.toLatin1();
    std::memset(message->digest, 0, sizeof(message->digest));
    std::memcpy(message->digest, latin.constData(), size_t(qMin(latin.size(), digestBytes)));
}

QByteArray VlPdfHostProtocol::digestOf(const Message &message)
{
    return QByteArray(message.digest, int(qstrnlen(message.digest, digestBytes)));
}

quint64 VlPdfHostProtocol::canvasBytes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    return quint64(width) * quint64(height) * 4;
}

} // namespace Vela
