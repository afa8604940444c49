#include "KtCrypto.h"

#include "ktlib_qtcompat_p.h"

#include <QDebug>

#include <botan/cipher_mode.h>
#include <botan/filters.h>
#include <botan/pipe.h>
#include <botan/symkey.h>

#include <array>
#include <climits>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace Kito {

// Peers hold data encrypted under these pairs, so the values can never change.
const QString KtCrypto::ENC_KEY_DEFAULT = QStringLiteral("pW5xKe2rNa7gUc9v");
const QString KtCrypto::ENC_IV_DEFAULT = QStringLiteral("rT9cJw2hMz6pAx5n");
const QString KtCrypto::ENC_KEY_COMM = QStringLiteral("Qm7tRv2kLw9pXc4e");
const QString KtCrypto::ENC_IV_COMM = QStringLiteral("gL4mYb8sEq3tVd1k");
const QString KtCrypto::ENC_KEY_STORED = QStringLiteral("Hd3nZs8qTy1uBf6j");
const QString KtCrypto::ENC_IV_STORED = QStringLiteral("vB1kFs7dPe4yGq8m");

namespace {

const char cipherName[] = "AES-128/CBC/PKCS7";
// The key and block size of AES-128.
const int materialBytes = 16;

void logFailure(const char *message)
{
    qDebug().noquote() << "KtCrypto:" << message;
}

// The UTF-8 bytes of the text, cut after 16 or filled up with zero bytes: the same bytes as
// toHexString(text, 32) read back, without the detour through hexadecimal text.
Botan::OctetString keyMaterial(const QString &text)
{
    QByteArray bytes = text.toUtf8().left(materialBytes);
    bytes.append(materialBytes - bytes.size(), '\0');
    return Botan::OctetString(
        reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(materialBytes));
}

// One message through the cipher and the Base64 codec; readOutput(pipe) takes the result.
// False, after one debug line, when Botan refuses the input (bad padding, a partial block,
// invalid Base64) or readOutput throws.
template<typename ReadOutput>
bool runPipe(const QString &key, const QString &initializeVector, const char *data, size_t size,
    Botan::Cipher_Dir direction, ReadOutput &&readOutput)
{
    try {
        const Botan::SymmetricKey cipherKey = keyMaterial(key);
        const Botan::InitializationVector iv = keyMaterial(initializeVector);

        // Both filters exist before the pipe takes them, so a throwing factory leaks nothing.
        std::unique_ptr<Botan::Filter> first;
        std::unique_ptr<Botan::Filter> second;
        if (direction == Botan::ENCRYPTION) {
            first.reset(Botan::get_cipher(cipherName, cipherKey, iv, Botan::ENCRYPTION));
            second = std::make_unique<Botan::Base64_Encoder>(false, 72, false);
        } else {
            first = std::make_unique<Botan::Base64_Decoder>(Botan::NONE);
            second.reset(Botan::get_cipher(cipherName, cipherKey, iv, Botan::DECRYPTION));
        }
        Botan::Pipe pipe {first.release(), second.release()};
        pipe.process_msg(reinterpret_cast<const uint8_t *>(data), size);
        readOutput(pipe);
        return true;
    } catch (const std::exception &e) {
        logFailure(e.what());
    } catch (...) {
        logFailure("unknown failure");
    }
    return false;
}

// The decrypted bytes as text. Wrong-key or damaged data that happens to end in valid
// padding decrypts to noise; what encryptString made is always UTF-8, so anything else is
// refused. Like QString::fromUtf8, a leading byte order mark is dropped.
QString plainText(const std::string &bytes)
{
    if (bytes.size() > size_t(INT_MAX)) {
        logFailure("decrypted text is too long");
        return QString();
    }
    QString text;
    if (!QtCompat::decodeUtf8(bytes.data(), int(bytes.size()), &text)) {
        logFailure("decrypted data is not UTF-8 text");
        return QString();
    }
    return text;
}

// A table, because this runs once per character of long texts.
constexpr std::array<signed char, 128> hexValues = [] {
    std::array<signed char, 128> values {};
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = -1;
    for (int i = 0; i < 10; ++i)
        values[size_t('0' + i)] = char(i);
    for (int i = 0; i < 6; ++i) {
        values[size_t('a' + i)] = char(10 + i);
        values[size_t('A' + i)] = char(10 + i);
    }
    return values;
}();

inline int hexValue(ushort u)
{
    return u < hexValues.size() ? hexValues[u] : -1;
}

// The bytes of a hexadecimal text, skipping whitespace (line breaks of a stored value).
// False when anything else is found or the digits do not pair up: such text was damaged,
// and decoding it anyway could shift every following byte by half.
bool hexToBytes(const QString &hexText, std::string &bytes)
{
    bytes.resize(size_t(hexText.size() / 2));
    char *const begin = &bytes[0];
    char *out = begin;
    const QChar *in = hexText.constData();
    const QChar *const end = in + hexText.size();
    int high = -1;
    while (in != end) {
        // Unbroken pairs of digits, the whole text in the usual case.
        while (high < 0 && end - in >= 2) {
            const int first = hexValue(in[0].unicode());
            const int second = hexValue(in[1].unicode());
            if ((first | second) < 0)
                break;
            *out++ = char(first << 4 | second);
            in += 2;
        }
        if (in == end)
            break;
        const int value = hexValue(in->unicode());
        if (value >= 0) {
            if (high < 0) {
                high = value;
            } else {
                *out++ = char(high << 4 | value);
                high = -1;
            }
        } else if (!in->isSpace()) {
            return false;
        }
        ++in;
    }
    bytes.resize(size_t(out - begin));
    return high < 0;
}

// The pipe's output written straight into hexadecimal text, without a copy in between.
QString readAsLowerHex(Botan::Pipe &pipe)
{
    const size_t size = pipe.remaining();
    if (size > size_t(INT_MAX / 2))
        throw std::length_error("encrypted text is too long");
    static const char digits[] = "0123456789abcdef";
    QString hex(int(size) * 2, Qt::Uninitialized);
    QChar *out = hex.data();
    uint8_t chunk[4096];
    size_t total = 0;
    while (const size_t got = pipe.read(chunk, sizeof chunk)) {
        total += got;
        if (total > size)
            throw std::length_error("cipher output grew while it was read");
        for (size_t i = 0; i < got; ++i) {
            *out++ = QLatin1Char(digits[chunk[i] >> 4]);
            *out++ = QLatin1Char(digits[chunk[i] & 0x0f]);
        }
    }
    hex.truncate(int(total) * 2);
    return hex;
}

std::string readAll(Botan::Pipe &pipe)
{
    return pipe.read_all_as_string();
}

} // namespace

KtCrypto::KtCrypto(QString key, QString initializeVector)
    : key(key.isEmpty() ? ENC_KEY_DEFAULT : key)
    , initializeVector(initializeVector.isEmpty() ? ENC_IV_DEFAULT : initializeVector)
{ }

void KtCrypto::setKey(QString key)
{
    if (!key.isEmpty())
        this->key = key;
}

void KtCrypto::setIinitializeVector(QString initializeVector)
{
    if (!initializeVector.isEmpty())
        this->initializeVector = initializeVector;
}

QString KtCrypto::toHexString(QString text, int width)
{
    QString hex = QString::fromLatin1(text.toUtf8().toHex());
    if (width <= 0)
        return hex;
    return hex.leftJustified(width, QLatin1Char('0'), true);
}

QString KtCrypto::cryptString(QString text, Botan::Cipher_Dir direction)
{
    if (text.isEmpty())
        return QString();
    const QByteArray input = text.toUtf8();
    std::string output;
    if (!runPipe(key, initializeVector, input.constData(), size_t(input.size()), direction,
            [&](Botan::Pipe &pipe) { output = readAll(pipe); }))
        return QString();
    if (direction != Botan::ENCRYPTION)
        return plainText(output);
    if (output.size() > size_t(INT_MAX)) {
        logFailure("encrypted text is too long");
        return QString();
    }
    return QString::fromLatin1(output.data(), int(output.size())); // Base64 is ASCII
}

// encryptString and decryptString do the work of cryptString plus the hexadecimal layer
// without a QString in between: on long texts those extra copies would cost nearly as much
// as the cipher itself.
QString KtCrypto::encryptString(QString text)
{
    if (text.isEmpty())
        return QString();
    const QByteArray input = text.toUtf8();
    QString hex;
    if (!runPipe(key, initializeVector, input.constData(), size_t(input.size()), Botan::ENCRYPTION,
            [&](Botan::Pipe &pipe) { hex = readAsLowerHex(pipe); }))
        return QString();
    return hex;
}

QString KtCrypto::decryptString(QString hexText)
{
    if (hexText.isEmpty())
        return QString();
    std::string base64;
    if (!hexToBytes(hexText, base64)) {
        logFailure("input is not an even number of hexadecimal digits");
        return QString();
    }
    if (base64.empty()) // whitespace only
        return QString();
    std::string plain;
    if (!runPipe(key, initializeVector, base64.data(), base64.size(), Botan::DECRYPTION,
            [&](Botan::Pipe &pipe) { plain = readAll(pipe); }))
        return QString();
    return plainText(plain);
}

} // namespace Kito
