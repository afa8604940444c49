// Times KtCrypto's string round trip against a bare Botan pipe doing the same cipher and
// Base64 work, so that the cost of the text and hexadecimal conversions stands out.
//
//   bench_cipher [milliseconds per measured pair, default 600]

#include <KtCrypto.h>

#include <botan/cipher_mode.h>
#include <botan/filters.h>
#include <botan/pipe.h>
#include <botan/symkey.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

using Kito::KtCrypto;

namespace {

const char cipherName[] = "AES-128/CBC/PKCS7";

struct RawPipe
{
    Botan::SymmetricKey key {KtCrypto::toHexString(KtCrypto::ENC_KEY_DEFAULT, 32).toStdString()};
    Botan::InitializationVector iv {
        KtCrypto::toHexString(KtCrypto::ENC_IV_DEFAULT, 32).toStdString()};

    std::string encrypt(const std::string &plain) const
    {
        Botan::Pipe pipe {Botan::get_cipher(cipherName, key, iv, Botan::ENCRYPTION),
            new Botan::Base64_Encoder(false, 72, false)};
        pipe.process_msg(plain);
        return pipe.read_all_as_string();
    }

    std::string decrypt(const std::string &base64) const
    {
        Botan::Pipe pipe {new Botan::Base64_Decoder(Botan::NONE),
            Botan::get_cipher(cipherName, key, iv, Botan::DECRYPTION)};
        pipe.process_msg(base64);
        return pipe.read_all_as_string();
    }
};

struct Figures
{
    double ktNs;
    double rawNs;
};

// Calls needed for a run of about `ms` milliseconds.
qint64 calibrate(const std::function<size_t()> &call, qint64 ms)
{
    volatile size_t sink = 0;
    QElapsedTimer timer;
    for (qint64 iterations = 1;; iterations *= 2) {
        timer.start();
        for (qint64 i = 0; i < iterations; ++i)
            sink = sink + call();
        const qint64 elapsed = timer.elapsed();
        if (elapsed >= ms / 4 || iterations > (qint64(1) << 30))
            return std::max<qint64>(1, iterations * ms / std::max<qint64>(1, elapsed));
    }
}

double runNs(const std::function<size_t()> &call, qint64 iterations)
{
    volatile size_t sink = 0;
    QElapsedTimer timer;
    timer.start();
    for (qint64 i = 0; i < iterations; ++i)
        sink = sink + call();
    return double(timer.nsecsElapsed()) / iterations;
}

// Nanoseconds per call of each side: the best of several short runs, taken in turns so that
// load from other processes falls on both sides alike.
Figures measure(
    const std::function<size_t()> &kt, const std::function<size_t()> &raw, qint64 budgetMs)
{
    const int rounds = 7;
    const qint64 ktIterations = calibrate(kt, budgetMs / rounds / 2);
    const qint64 rawIterations = calibrate(raw, budgetMs / rounds / 2);
    Figures best {1e300, 1e300};
    for (int round = 0; round < rounds; ++round) {
        best.ktNs = std::min(best.ktNs, runNs(kt, ktIterations));
        best.rawNs = std::min(best.rawNs, runNs(raw, rawIterations));
    }
    return best;
}

QString sizeName(int bytes)
{
    return bytes >= 1024 ? QStringLiteral("%1 KiB").arg(bytes / 1024)
                         : QStringLiteral("%1 B").arg(bytes);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 budgetMs = args.size() > 1 ? std::max(70, args.at(1).toInt()) : 600;

    KtCrypto crypto;
    const RawPipe raw;

    std::printf("%-8s %-8s %14s %14s %7s\n", "size", "op", "KtCrypto us", "raw pipe us", "ratio");
    for (const int bytes : {16, 1024, 64 * 1024}) {
        QString text;
        for (int i = 0; i < bytes; ++i)
            text += QChar('a' + i % 26);
        const std::string plain = text.toStdString();
        const QString hex = crypto.encryptString(text);
        const std::string base64 = raw.encrypt(plain);

        // Both sides must do the same work, or the figures mean nothing.
        if (hex.toLatin1() != QByteArray::fromStdString(base64).toHex()
            || crypto.decryptString(hex) != text || raw.decrypt(base64) != plain) {
            std::fprintf(stderr, "KtCrypto and the raw pipe disagree at %d bytes\n", bytes);
            return 1;
        }

        const Figures encrypt = measure([&] { return size_t(crypto.encryptString(text).size()); },
            [&] { return raw.encrypt(plain).size(); }, budgetMs);
        const Figures decrypt = measure([&] { return size_t(crypto.decryptString(hex).size()); },
            [&] { return raw.decrypt(base64).size(); }, budgetMs);

        const QByteArray name = sizeName(bytes).toLatin1();
        std::printf("%-8s %-8s %14.2f %14.2f %7.2f\n", name.constData(), "encrypt",
            encrypt.ktNs / 1000, encrypt.rawNs / 1000, encrypt.ktNs / encrypt.rawNs);
        std::printf("%-8s %-8s %14.2f %14.2f %7.2f\n", name.constData(), "decrypt",
            decrypt.ktNs / 1000, decrypt.rawNs / 1000, decrypt.ktNs / decrypt.rawNs);
    }
    return 0;
}
