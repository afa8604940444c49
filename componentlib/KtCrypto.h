#ifndef KITO_KTCRYPTO_H
#define KITO_KTCRYPTO_H

#include "ktlib_export.h"

#include <QString>

// Botan::ENCRYPTION and Botan::DECRYPTION, which callers of cryptString pass.
#include <botan/cipher_mode.h>

namespace Kito {

// Encrypts text into lower-case hexadecimal text and back: AES-128 in CBC mode with PKCS#7
// padding over the UTF-8 bytes, then Base64, then hexadecimal of the Base64 text.
//
// The keys and initialization vectors are fixed texts shared with peers, so this is an
// obfuscation layer for interchange, not protection for secrets.
//
// No call throws: every failure gives an empty string and one line of debug output. A value
// type without shared state; separate objects may be used from separate threads.
class KTLIB_EXPORT KtCrypto
{
public:
    static const QString ENC_KEY_DEFAULT;
    static const QString ENC_IV_DEFAULT;
    static const QString ENC_KEY_COMM;
    static const QString ENC_IV_COMM;
    static const QString ENC_KEY_STORED;
    static const QString ENC_IV_STORED;

    // An empty key or initialization vector means the DEFAULT one. Each text becomes 16
    // bytes: its UTF-8 bytes, cut after 16 or filled up with zero bytes.
    KtCrypto(QString key = QString(), QString initializeVector = QString());

    // Empty texts are ignored, so the object always holds usable key material.
    void setKey(QString key);
    void setIinitializeVector(QString initializeVector);

    // Empty for an empty text.
    QString encryptString(QString text);
    // Empty for empty, damaged, truncated, odd-length, non-hexadecimal or wrong-key input.
    // Whitespace (line breaks of a stored value) is skipped.
    QString decryptString(QString hexText);

    // One cipher pass: with ENCRYPTION from text to the Base64 text of the ciphertext, with
    // DECRYPTION from Base64 text back to the plain text.
    QString cryptString(QString text, Botan::Cipher_Dir direction);

    // Lower-case hexadecimal of the UTF-8 bytes; for width > 0 filled up on the right with
    // "0" and cut to exactly width characters.
    static QString toHexString(QString text, int width);

private:
    QString key;
    QString initializeVector;
};

} // namespace Kito

#endif
