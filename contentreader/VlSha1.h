#ifndef VELA_VLSHA1_H
#define VELA_VLSHA1_H

#include <QByteArray>
#include <QCryptographicHash>

#include <array>
#include <memory>

namespace Vela {

// SHA-1 of content files, the digest the cache records to notice that a file changed. Every
// new document and every image is hashed whole on a reader thread before its first page is
// stored, and the corrector hashes every file again, so the speed matters: on processors with
// the SHA extensions the blocks go through them, several times faster than QCryptographicHash,
// which does the work everywhere else. The digests are the same either way.
class VlSha1
{
public:
    // Portable always takes QCryptographicHash; the tests compare it with the fast path on the
    // same machine.
    enum class Path { Fastest, Portable };

    explicit VlSha1(Path path = Path::Fastest);
    ~VlSha1();

    VlSha1(const VlSha1 &) = delete;
    VlSha1 &operator=(const VlSha1 &) = delete;

    void addData(const char *data, qint64 size);
    // The 20 bytes of the digest; ends the hashing: add nothing after it.
    QByteArray result();

    static QByteArray hash(const QByteArray &data);
    // Whether Path::Fastest goes through the processor's SHA extensions here.
    static bool hasShaExtensions();

private:
    void compress(const uchar *blocks, qint64 count);

    std::unique_ptr<QCryptographicHash> m_fallback;
    std::array<quint32, 5> m_state {};
    std::array<uchar, 64> m_buffer {};
    int m_buffered = 0;
    quint64 m_length = 0;
};

} // namespace Vela

#endif
