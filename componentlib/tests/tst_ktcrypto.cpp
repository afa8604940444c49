#include <KtCrypto.h>

#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <thread>
#include <vector>

using namespace Kito;

namespace {

// Collects the debug lines written while it lives, so that a test can count them.
class DebugLines
{
public:
    DebugLines() { previous = qInstallMessageHandler(&DebugLines::handler); }
    ~DebugLines()
    {
        qInstallMessageHandler(previous);
        QMutexLocker locker(&mutex);
        lines.clear();
    }
    QStringList taken()
    {
        QMutexLocker locker(&mutex);
        return lines;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type != QtDebugMsg)
            return;
        QMutexLocker locker(&mutex);
        lines << message;
    }

    QtMessageHandler previous;
    static QMutex mutex;
    static QStringList lines;
};

QMutex DebugLines::mutex;
QStringList DebugLines::lines;

const QString japanese = QStringLiteral("日本語のテキストを暗号化する");
const QString emoji = QStringLiteral("😀🎉 signage ✔ 👍🏽 👨‍👩‍👧");

bool isLowerHex(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]+$"));
    return hex.match(text).hasMatch();
}

// Base64 text of ciphertext bytes, as hexadecimal: the outer layers of the format.
QString wrap(const QByteArray &ciphertext)
{
    return QString::fromLatin1(ciphertext.toBase64().toHex());
}

QByteArray unwrap(const QString &hexText)
{
    return QByteArray::fromBase64(QByteArray::fromHex(hexText.toLatin1()));
}

} // namespace

class tst_KtCrypto : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void outputLength_data();
    void outputLength();
    void constantsAreFixed();
    void knownAnswer();
    void matchesOpenSsl_data();
    void matchesOpenSsl();
    void missingKeyMaterialMeansDefault();
    void keyMaterialIsCutOrZeroFilled();
    void cryptStringIsTheBase64Layer();
    void toHexString_data();
    void toHexString();
    void damagedInputGivesEmptyAndOneDebugLine_data();
    void damagedInputGivesEmptyAndOneDebugLine();
    void hexInputToleratesWhitespaceAndUpperCase();
    void emptyInputIsSilent();
    void separateObjectsInSeparateThreads();
};

void tst_KtCrypto::roundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("iv");

    const QString longText = QString(japanese + emoji + QStringLiteral("abc\n")).repeated(3000);
    QTest::newRow("ascii") << "Hello, signage" << QString() << QString();
    QTest::newRow("one character") << "x" << QString() << QString();
    QTest::newRow("exactly one block") << "0123456789abcdef" << QString() << QString();
    QTest::newRow("japanese") << japanese << KtCrypto::ENC_KEY_COMM << KtCrypto::ENC_IV_COMM;
    QTest::newRow("emoji") << emoji << KtCrypto::ENC_KEY_STORED << KtCrypto::ENC_IV_STORED;
    QTest::newRow("long") << longText << QString() << QString();
    QTest::newRow("nul inside") << QString::fromUtf8("a\0b", 3) << QString() << QString();
    QTest::newRow("line breaks and spaces") << " a\r\n\tb \n" << QString() << QString();
    QTest::newRow("short key") << "text"
                               << "k"
                               << "i";
}

void tst_KtCrypto::roundTrip()
{
    QFETCH(QString, text);
    QFETCH(QString, key);
    QFETCH(QString, iv);

    KtCrypto crypto(key, iv);
    const QString encrypted = crypto.encryptString(text);
    QVERIFY(isLowerHex(encrypted));
    QCOMPARE(KtCrypto(key, iv).decryptString(encrypted), text);
}

void tst_KtCrypto::outputLength_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("hexLength");

    QTest::newRow("1 byte") << "a" << 48;
    QTest::newRow("15 bytes") << "abcdefghijklmno" << 48;
    QTest::newRow("15 bytes of kana") << QStringLiteral("あいうえお") << 48;
    QTest::newRow("4-byte emoji") << QStringLiteral("😀") << 48;
    QTest::newRow("16 bytes") << "abcdefghijklmnop" << 88;
    QTest::newRow("31 bytes") << QString(31, QLatin1Char('z')) << 88;
    QTest::newRow("18 bytes of kana") << QStringLiteral("あいうえおか") << 88;
    QTest::newRow("32 bytes") << QString(32, QLatin1Char('z')) << 128;
}

void tst_KtCrypto::outputLength()
{
    QFETCH(QString, text);
    QFETCH(int, hexLength);
    QCOMPARE(KtCrypto().encryptString(text).size(), hexLength);
}

void tst_KtCrypto::constantsAreFixed()
{
    QCOMPARE(KtCrypto::ENC_KEY_DEFAULT, QStringLiteral("pW5xKe2rNa7gUc9v"));
    QCOMPARE(KtCrypto::ENC_IV_DEFAULT, QStringLiteral("rT9cJw2hMz6pAx5n"));
    QCOMPARE(KtCrypto::ENC_KEY_COMM, QStringLiteral("Qm7tRv2kLw9pXc4e"));
    QCOMPARE(KtCrypto::ENC_IV_COMM, QStringLiteral("gL4mYb8sEq3tVd1k"));
    QCOMPARE(KtCrypto::ENC_KEY_STORED, QStringLiteral("Hd3nZs8qTy1uBf6j"));
    QCOMPARE(KtCrypto::ENC_IV_STORED, QStringLiteral("vB1kFs7dPe4yGq8m"));
}

void tst_KtCrypto::knownAnswer()
{
    // Fixed once from an independent implementation; peers hold data in exactly this form.
    QCOMPARE(KtCrypto().encryptString(QStringLiteral("Hello")),
        QStringLiteral("744946666b49515a5730764941394f323372735776673d3d"));
    QCOMPARE(KtCrypto().decryptString(
                 QStringLiteral("744946666b49515a5730764941394f323372735776673d3d")),
        QStringLiteral("Hello"));
}

void tst_KtCrypto::matchesOpenSsl_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("iv");
    // The 16 key and IV bytes written out by hand, independent of the code under test.
    QTest::addColumn<QString>("keyHex");
    QTest::addColumn<QString>("ivHex");

    QTest::newRow("ascii, default pair")
        << "Hello, world" << KtCrypto::ENC_KEY_DEFAULT << KtCrypto::ENC_IV_DEFAULT
        << "705735784b6532724e61376755633976"
        << "725439634a7732684d7a36704178356e";
    QTest::newRow("exactly one block, comm pair")
        << "0123456789abcdef" << KtCrypto::ENC_KEY_COMM << KtCrypto::ENC_IV_COMM
        << "516d37745276326b4c77397058633465"
        << "674c346d59623873457133745664316b";
    QTest::newRow("japanese, stored pair")
        << japanese << KtCrypto::ENC_KEY_STORED << KtCrypto::ENC_IV_STORED
        << "4864336e5a733871547931754266366a"
        << "7642316b46733764506534794771386d";
    QTest::newRow("emoji, short key zero-filled") << emoji << "abc"
                                                  << "xyz"
                                                  << "61626300000000000000000000000000"
                                                  << "78797a00000000000000000000000000";
    QTest::newRow("NUL between non-ASCII characters")
        << QString::fromUtf8("\0\xc3\xa9\0\xe6\x97\xa5\0", 8) << KtCrypto::ENC_KEY_DEFAULT
        << KtCrypto::ENC_IV_DEFAULT << "705735784b6532724e61376755633976"
        << "725439634a7732684d7a36704178356e";
    QTest::newRow("long, multibyte key cut inside a character")
        << QString(emoji + japanese).repeated(40) << QStringLiteral("日本語のテキスト")
        << KtCrypto::ENC_IV_DEFAULT << "e697a5e69cace8aa9ee381aee38386e3"
        << "725439634a7732684d7a36704178356e";
}

void tst_KtCrypto::matchesOpenSsl()
{
    QFETCH(QString, text);
    QFETCH(QString, key);
    QFETCH(QString, iv);
    QFETCH(QString, keyHex);
    QFETCH(QString, ivHex);

    const QString openssl = QStringLiteral(KT_OPENSSL_EXECUTABLE);
    if (openssl.isEmpty())
        QSKIP("openssl is not installed");

    QProcess process;
    process.start(openssl,
        {QStringLiteral("enc"), QStringLiteral("-aes-128-cbc"), QStringLiteral("-K"), keyHex,
            QStringLiteral("-iv"), ivHex, QStringLiteral("-a"), QStringLiteral("-A")});
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
    process.write(text.toUtf8());
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(30000));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
        process.readAllStandardError().constData());
    const QByteArray base64 = process.readAllStandardOutput().trimmed();
    const QString expected = QString::fromLatin1(base64.toHex());

    KtCrypto crypto(key, iv);
    QCOMPARE(crypto.encryptString(text), expected);
    QCOMPARE(crypto.decryptString(expected), text);
}

void tst_KtCrypto::missingKeyMaterialMeansDefault()
{
    const QString text = QStringLiteral("same output");
    const QString byDefault = KtCrypto().encryptString(text);
    QCOMPARE(KtCrypto(KtCrypto::ENC_KEY_DEFAULT, KtCrypto::ENC_IV_DEFAULT).encryptString(text),
        byDefault);
    QCOMPARE(KtCrypto(QString(), KtCrypto::ENC_IV_DEFAULT).encryptString(text), byDefault);
    QCOMPARE(KtCrypto(KtCrypto::ENC_KEY_DEFAULT, QString()).encryptString(text), byDefault);
    QCOMPARE(KtCrypto(QStringLiteral(""), QStringLiteral("")).encryptString(text), byDefault);
    KtCrypto byBraces = {};
    QCOMPARE(byBraces.encryptString(text), byDefault);

    KtCrypto crypto(KtCrypto::ENC_KEY_COMM, KtCrypto::ENC_IV_COMM);
    const QString byComm = crypto.encryptString(text);
    QVERIFY(byComm != byDefault);
    crypto.setKey(QString());
    crypto.setIinitializeVector(QString());
    QCOMPARE(crypto.encryptString(text), byComm);

    crypto.setKey(KtCrypto::ENC_KEY_DEFAULT);
    crypto.setIinitializeVector(KtCrypto::ENC_IV_DEFAULT);
    QCOMPARE(crypto.encryptString(text), byDefault);

    // A copy keeps its own key material.
    KtCrypto copy = crypto;
    crypto.setKey(KtCrypto::ENC_KEY_STORED);
    QCOMPARE(copy.encryptString(text), byDefault);
    QVERIFY(crypto.encryptString(text) != byDefault);
}

void tst_KtCrypto::keyMaterialIsCutOrZeroFilled()
{
    const QString text = QStringLiteral("key material");
    const QString nul13(13, QChar(0));
    QCOMPARE(
        KtCrypto(QStringLiteral("0123456789abcdefEXTRA"), QStringLiteral("iv")).encryptString(text),
        KtCrypto(QStringLiteral("0123456789abcdef"), QStringLiteral("iv")).encryptString(text));
    QCOMPARE(KtCrypto(QStringLiteral("abc")).encryptString(text),
        KtCrypto(QStringLiteral("abc") + nul13).encryptString(text));
    QCOMPARE(KtCrypto(QString(), QStringLiteral("xyz")).encryptString(text),
        KtCrypto(QString(), QStringLiteral("xyz") + nul13).encryptString(text));
    QVERIFY(KtCrypto(QStringLiteral("abc")).encryptString(text)
        != KtCrypto(QStringLiteral("abd")).encryptString(text));
}

void tst_KtCrypto::cryptStringIsTheBase64Layer()
{
    KtCrypto crypto;
    const QString text = QStringLiteral("Base64 layer");
    const QString base64 = crypto.cryptString(text, Botan::ENCRYPTION);
    QCOMPARE(base64.size(), 24);
    QCOMPARE(QString::fromLatin1(base64.toLatin1().toHex()), crypto.encryptString(text));
    QCOMPARE(crypto.cryptString(base64, Botan::DECRYPTION), text);
    QCOMPARE(crypto.cryptString(QString(), Botan::ENCRYPTION), QString());
    QCOMPARE(crypto.cryptString(QString(), Botan::DECRYPTION), QString());
}

void tst_KtCrypto::toHexString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("hex");

    QTest::newRow("no width") << "AB" << 0 << "4142";
    QTest::newRow("negative width") << "AB" << -5 << "4142";
    QTest::newRow("filled") << "AB" << 6 << "414200";
    QTest::newRow("cut") << "ABCD" << 4 << "4142";
    QTest::newRow("cut inside a byte") << "ABCD" << 3 << "414";
    QTest::newRow("exact") << "AB" << 4 << "4142";
    QTest::newRow("utf-8 bytes, lower case") << QStringLiteral("é日") << 0 << "c3a9e697a5";
    QTest::newRow("empty filled") << "" << 4 << "0000";
    QTest::newRow("empty") << "" << 0 << "";
}

void tst_KtCrypto::toHexString()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    QFETCH(QString, hex);
    QCOMPARE(KtCrypto::toHexString(text, width), hex);
}

void tst_KtCrypto::damagedInputGivesEmptyAndOneDebugLine_data()
{
    QTest::addColumn<QString>("hexText");

    // Three blocks of ciphertext, so that damage can be aimed at a chosen block.
    KtCrypto crypto;
    const QString good = crypto.encryptString(QStringLiteral("a text of thirty-three characters"));
    const QByteArray raw = unwrap(good);
    QCOMPARE(raw.size(), 48);

    QByteArray paddingFlipped = raw;
    paddingFlipped[31] = char(paddingFlipped[31] ^ 0x01); // the last plain byte is padding
    QByteArray lastBlockFlipped = raw;
    lastBlockFlipped[40] = char(lastBlockFlipped[40] ^ 0x80);

    QTest::newRow("wrong key") << KtCrypto(KtCrypto::ENC_KEY_COMM)
                                      .encryptString(
                                          QStringLiteral("a text of thirty-three characters"));
    QTest::newRow("padding byte flipped") << wrap(paddingFlipped);
    QTest::newRow("last block flipped") << wrap(lastBlockFlipped);
    QTest::newRow("last block cut off") << wrap(raw.left(32));
    QTest::newRow("one ciphertext byte cut off") << wrap(raw.left(47));
    QTest::newRow("truncated by one character") << good.left(good.size() - 2);
    QTest::newRow("truncated to half") << good.left(good.size() / 2);
    QTest::newRow("odd length") << good.left(good.size() - 1);
    QTest::newRow("extra leading digit") << QLatin1Char('9') + good;
    QTest::newRow("non-hex letters inside") << good.left(10) + "zz" + good.mid(10);
    QTest::newRow("digit replaced by g") << good.left(good.size() - 1) + 'g';
    QTest::newRow("plain words") << "hello world";
    QTest::newRow("non-latin-1") << QStringLiteral("日本");
    QTest::newRow("invalid base64 characters") << QString::fromLatin1(QByteArray("!!!!").toHex());
    QTest::newRow("base64 padding only") << QString::fromLatin1(QByteArray("==").toHex());
    QTest::newRow("nul byte") << "00";
    QTest::newRow("single base64 character") << "41";
    QTest::newRow("not a whole block") << wrap(QByteArray(15, 'x'));
}

void tst_KtCrypto::damagedInputGivesEmptyAndOneDebugLine()
{
    QFETCH(QString, hexText);
    QString plain = QStringLiteral("unset");
    QStringList lines;
    {
        DebugLines debug;
        plain = KtCrypto().decryptString(hexText);
        lines = debug.taken();
    }
    QCOMPARE(plain, QString());
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().startsWith(QLatin1String("KtCrypto:")));
}

void tst_KtCrypto::hexInputToleratesWhitespaceAndUpperCase()
{
    KtCrypto crypto;
    const QString text = QString(japanese).repeated(4);
    const QString hex = crypto.encryptString(text);
    QString wrapped;
    for (int i = 0; i < hex.size(); i += 64)
        wrapped += hex.mid(i, 64) + QStringLiteral("\r\n");
    QCOMPARE(crypto.decryptString(wrapped), text);
    QCOMPARE(
        crypto.decryptString(QStringLiteral(" ") + hex.toUpper() + QStringLiteral("\t")), text);
}

void tst_KtCrypto::emptyInputIsSilent()
{
    DebugLines debug;
    KtCrypto crypto;
    QCOMPARE(crypto.encryptString(QString()), QString());
    QCOMPARE(crypto.encryptString(QStringLiteral("")), QString());
    QCOMPARE(crypto.decryptString(QString()), QString());
    QCOMPARE(crypto.decryptString(QStringLiteral(" \n")), QString());
    QCOMPARE(debug.taken(), QStringList());
}

void tst_KtCrypto::separateObjectsInSeparateThreads()
{
    const QString text = emoji + japanese;
    const QString expected = KtCrypto().encryptString(text);
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            KtCrypto crypto;
            for (int i = 0; i < 200; ++i) {
                const QString encrypted = crypto.encryptString(text);
                if (encrypted != expected || crypto.decryptString(encrypted) != text)
                    ++failures[t];
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(failures, std::vector<int>(4, 0));
}

QTEST_GUILESS_MAIN(tst_KtCrypto)
#include "tst_ktcrypto.moc"
