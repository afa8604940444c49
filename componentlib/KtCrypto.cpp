#include "KtCrypto.h"

#include <QDebug>
#include <QTextCodec>

#include <botan/cipher_mode.h>
#include <botan/filters.h>
#include <botan/pipe.h>
#include <botan/symkey.h>

#include <exception>
#include <memory>
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
// Hexadecimal digits of 16 bytes, the key and block size of AES-128.
const int materialDigits = 32;

void logFailure(const char *message)
{
    qDebug().noquote() << "KtCrypto:" << message;
}

// QString::fromUtf8(QByteArray) stops at the first zero byte; a plain text may hold one.
QString fromUtf8(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

bool isUtf8(const QByteArray &bytes)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// The hexadecimal digits of a text without its whitespace (line breaks of a stored value).
// False when anything else is left or the digits do not pair up: such text was damaged, and
// decoding it anyway could shift every following byte by half.
bool hexDigits(const QString &hexText, QByteArray &digits)
{
    digits.reserve(hexText.size());
    for (const QChar c : hexText) {
        if (c.isSpace())
            continue;
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
        digits.append(char(u));
    }
    return digits.size() % 2 == 0;
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

QByteArray KtCrypto::crypt(const QByteArray &input, Botan::Cipher_Dir direction) const
{
    if (input.isEmpty())
        return QByteArray();
    try {
        const Botan::SymmetricKey cipherKey(toHexString(key, materialDigits).toStdString());
        const Botan::InitializationVector iv(
            toHexString(initializeVector, materialDigits).toStdString());

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
        pipe.process_msg(reinterpret_cast<const uint8_t *>(input.constData()), input.size());
        const std::string output = pipe.read_all_as_string();

        const QByteArray result(output.data(), int(output.size()));
        // Wrong-key or damaged data that happens to end in valid padding decrypts to noise;
        // what encryptString made is always UTF-8, so anything else is refused.
        if (direction != Botan::ENCRYPTION && !isUtf8(result)) {
            logFailure("decrypted data is not UTF-8 text");
            return QByteArray();
        }
        return result;
    } catch (const std::exception &e) {
        logFailure(e.what());
    } catch (...) {
        logFailure("unknown failure");
    }
    return QByteArray();
}

QString KtCrypto::cryptString(QString text, Botan::Cipher_Dir direction)
{
    if (text.isEmpty())
        return QString();
    return fromUtf8(crypt(text.toUtf8(), direction));
}

QString KtCrypto::encryptString(QString text)
{
    return QString::fromLatin1(crypt(text.toUtf8(), Botan::ENCRYPTION).toHex());
}

QString KtCrypto::decryptString(QString hexText)
{
    if (hexText.isEmpty())
        return QString();
    QByteArray digits;
    if (!hexDigits(hexText, digits)) {
        logFailure("input is not an even number of hexadecimal digits");
        return QString();
    }
    return fromUtf8(crypt(QByteArray::fromHex(digits), Botan::DECRYPTION));
}

} // namespace Kito
