#include "FuzzTargets.h"

#include <KtCrypto.h>

#include <QRegularExpression>
#include <QString>

using Kito::KtCrypto;

namespace {

bool isCanonicalBase64(const QByteArray &text)
{
    static const QRegularExpression alphabet(QStringLiteral("^[A-Za-z0-9+/]*={0,2}$"));
    return !text.isEmpty() && text.size() % 4 == 0
        && alphabet.match(QString::fromLatin1(text)).hasMatch()
        && QByteArray::fromBase64(text).toBase64() == text;
}

// The form encryptString writes: lower-case hexadecimal of canonical Base64 text. Any
// other text that decrypts (whitespace, upper case, Base64 with stray characters or loose
// padding, which the lenient decoder skips) cannot come back byte for byte.
bool isCanonicalCiphertext(const QString &hex)
{
    static const QRegularExpression lowerHex(QStringLiteral("^(?:[0-9a-f]{2})+$"));
    if (!lowerHex.match(hex).hasMatch())
        return false;
    const QByteArray base64 = QByteArray::fromHex(hex.toLatin1());
    return isCanonicalBase64(base64);
}

} // namespace

namespace VelaFuzz {

bool decrypt(const QByteArray &input)
{
    const QString text = QString::fromUtf8(input);
    const QString keys[][2]
        = {{QString(), QString()}, {KtCrypto::ENC_KEY_COMM, KtCrypto::ENC_IV_COMM},
            {KtCrypto::ENC_KEY_STORED, KtCrypto::ENC_IV_STORED}};
    KtCrypto crypto(keys[input.size() % 3][0], keys[input.size() % 3][1]);
    bool ok = true;

    const QString plain = crypto.decryptString(text);
    if (!plain.isEmpty()) {
        const QString again = crypto.encryptString(plain);
        ok &= check(crypto.decryptString(again) == plain, "decrypt(encrypt(p)) == p");
        ok &= check(isCanonicalCiphertext(again), "encryptString writes canonical text");
        if (isCanonicalCiphertext(text))
            ok &= check(again == text, "canonical ciphertext encrypts back to itself");
    }

    // Any text through one cipher pass and back.
    const QString base64 = crypto.cryptString(text, Botan::ENCRYPTION);
    ok &= check(text.isEmpty() || !base64.isEmpty(), "cryptString encrypts any text");
    ok &= check(crypto.cryptString(base64, Botan::DECRYPTION) == text,
        "cryptString decrypts what it encrypted");

    // The same bytes taken as Base64 text of a ciphertext.
    const QString fromBase64 = crypto.cryptString(text, Botan::DECRYPTION);
    if (!fromBase64.isEmpty() && isCanonicalBase64(text.toLatin1()) && text.toLatin1() == input)
        ok &= check(crypto.cryptString(fromBase64, Botan::ENCRYPTION) == text,
            "canonical Base64 ciphertext encrypts back to itself");

    const QString hex = KtCrypto::toHexString(text, input.size() % 40);
    ok &= check(input.size() % 40 == 0 || hex.size() == input.size() % 40,
        "toHexString gives exactly width digits");
    return ok;
}

} // namespace VelaFuzz
