#include "VlSha1.h"

#include <QtEndian>

#include <cstring>
#include <utility>

#if defined(Q_PROCESSOR_X86_64) && (defined(Q_CC_GNU) || defined(Q_CC_CLANG))
#define VELA_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace Vela {

namespace {

#ifdef VELA_SHA1_X86

bool cpuHasShaExtensions()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool ssse3 = c & (1u << 9);
    const bool sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    const bool sha = b & (1u << 29);
    return ssse3 && sse41 && sha;
}

// One group of four rounds. Twenty of them make a block; the message schedule runs three
// groups ahead of the rounds, in four registers used in turn.
template<int group>
__attribute__((target("sha,sse4.1,ssse3"))) inline void roundGroup(
    __m128i &abcd, __m128i (&e)[2], __m128i (&msg)[4], const uchar *block)
{
    if constexpr (group < 4) {
        const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
        msg[group] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * group)), byteSwap);
    }
    if constexpr (group == 0)
        e[0] = _mm_add_epi32(e[0], msg[0]);
    else
        e[group & 1] = _mm_sha1nexte_epu32(e[group & 1], msg[group & 3]);
    e[(group + 1) & 1] = abcd;
    if constexpr (group >= 3 && group <= 18)
        msg[(group + 1) & 3] = _mm_sha1msg2_epu32(msg[(group + 1) & 3], msg[group & 3]);
    abcd = _mm_sha1rnds4_epu32(abcd, e[group & 1], group / 5);
    if constexpr (group >= 1 && group <= 16)
        msg[(group - 1) & 3] = _mm_sha1msg1_epu32(msg[(group - 1) & 3], msg[group & 3]);
    if constexpr (group >= 2 && group <= 17)
        msg[(group - 2) & 3] = _mm_xor_si128(msg[(group - 2) & 3], msg[group & 3]);
}

template<int... groups>
__attribute__((target("sha,sse4.1,ssse3"))) inline void allGroups(__m128i &abcd, __m128i (&e)[2],
    __m128i (&msg)[4], const uchar *block, std::integer_sequence<int, groups...>)
{
    (roundGroup<groups>(abcd, e, msg, block), ...);
}

__attribute__((target("sha,sse4.1,ssse3"))) void compressWithShaExtensions(
    quint32 *state, const uchar *blocks, qint64 count)
{
    // The instructions keep A, B, C, D in one register, A in the highest lane.
    __m128i abcd
        = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0x1b);
    __m128i e[2] = {_mm_set_epi32(int(state[4]), 0, 0, 0), _mm_setzero_si128()};
    __m128i msg[4];
    for (qint64 i = 0; i < count; ++i, blocks += 64) {
        const __m128i abcdBefore = abcd;
        const __m128i eBefore = e[0];
        allGroups(abcd, e, msg, blocks, std::make_integer_sequence<int, 20>());
        e[0] = _mm_sha1nexte_epu32(e[0], eBefore);
        abcd = _mm_add_epi32(abcd, abcdBefore);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_shuffle_epi32(abcd, 0x1b));
    state[4] = quint32(_mm_extract_epi32(e[0], 3));
}

const bool accelerated = cpuHasShaExtensions();

#else

const bool accelerated = false;

#endif

} // namespace

VlSha1::VlSha1(Path path)
{
    if (!accelerated || path == Path::Portable)
        m_fallback = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha1);
    m_state = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u, 0xc3d2e1f0u};
}

VlSha1::~VlSha1() = default;

void VlSha1::compress(const uchar *blocks, qint64 count)
{
#ifdef VELA_SHA1_X86
    compressWithShaExtensions(m_state.data(), blocks, count);
#else
    Q_UNUSED(blocks);
    Q_UNUSED(count);
#endif
}

void VlSha1::addData(const char *data, qint64 size)
{
    if (size <= 0)
        return;
    if (m_fallback) {
        // A byte array of Qt 5 holds at most an int; large buffers go in slices.
        while (size > 0) {
            const int slice = int(qMin<qint64>(size, 1 << 30));
            m_fallback->addData(QByteArray::fromRawData(data, slice));
            data += slice;
            size -= slice;
        }
        return;
    }
    m_length += quint64(size);
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    if (m_buffered > 0) {
        const int take = int(qMin<qint64>(size, 64 - m_buffered));
        std::memcpy(m_buffer.data() + m_buffered, bytes, size_t(take));
        m_buffered += take;
        bytes += take;
        size -= take;
        if (m_buffered < 64)
            return;
        compress(m_buffer.data(), 1);
        m_buffered = 0;
    }
    const qint64 blocks = size / 64;
    if (blocks > 0)
        compress(bytes, blocks);
    bytes += blocks * 64;
    size -= blocks * 64;
    std::memcpy(m_buffer.data(), bytes, size_t(size));
    m_buffered = int(size);
}

QByteArray VlSha1::result()
{
    if (m_fallback)
        return m_fallback->result();
    // The message ends with a one bit, zeros up to 8 bytes short of a block, and its length
    // in bits, big-endian.
    const quint64 bits = m_length * 8;
    uchar tail[128] = {};
    const int padded = m_buffered < 56 ? 64 : 128;
    std::memcpy(tail, m_buffer.data(), size_t(m_buffered));
    tail[m_buffered] = 0x80;
    qToBigEndian(bits, tail + padded - 8);
    compress(tail, padded / 64);
    m_buffered = 0;

    QByteArray digest(20, Qt::Uninitialized);
    for (int i = 0; i < 5; ++i)
        qToBigEndian(m_state[size_t(i)], digest.data() + 4 * i);
    return digest;
}

bool VlSha1::hasShaExtensions()
{
    return accelerated;
}

QByteArray VlSha1::hash(const QByteArray &data)
{
    VlSha1 sha1;
    sha1.addData(data.constData(), data.size());
    return sha1.result();
}

} // namespace Vela
