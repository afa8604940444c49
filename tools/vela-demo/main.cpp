// A small run through the component library: path handling, the media type the engine core
// gives the file, and a cipher round trip under each key pair.
//
//   vela-demo [text to encrypt]
//
// Exits with 1 when a round trip does not give the text back.

#include <KtCrypto.h>
#include <KtPath.h>
#include <MediaType.h>
#include <VlExtension.h>

#include <QCoreApplication>
#include <QTextStream>

using namespace Kito;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    const QStringList args = app.arguments();
    const QString text = args.size() > 1 ? args.mid(1).join(QLatin1Char(' '))
                                         : QStringLiteral("Vela signage: こんにちは 👋");

    const QString path = KtPath::combine(
        QStringLiteral("C:\\content\\%1\\"), QStringLiteral("/slides/welcome.PDF"));
    const QString suffix = KtPath::getExtension(path);
    out << "path:      " << path << '\n'
        << "absolute:  " << (KtPath::isAbsolute(path) ? "yes" : "no") << '\n'
        << "parent:    " << KtPath::getParentDirectory(path) << '\n'
        << "name:      " << KtPath::getName(path, false) << '\n'
        << "as png:    "
        << KtPath::addExtension(KtPath::stripExtension(path, suffix, Qt::CaseInsensitive, false),
               QStringLiteral("png"), true)
        << '\n'
        << "media:     " << Vela::MediaType::name(Vela::VlExtension().getMediaType(suffix)) << '\n';

    struct Pair
    {
        const char *name;
        QString key;
        QString iv;
    };
    const Pair pairs[] = {{"default", KtCrypto::ENC_KEY_DEFAULT, KtCrypto::ENC_IV_DEFAULT},
        {"comm", KtCrypto::ENC_KEY_COMM, KtCrypto::ENC_IV_COMM},
        {"stored", KtCrypto::ENC_KEY_STORED, KtCrypto::ENC_IV_STORED}};

    bool allBack = true;
    out << "text:      " << text << '\n';
    for (const Pair &pair : pairs) {
        KtCrypto crypto(pair.key, pair.iv);
        const QString encrypted = crypto.encryptString(text);
        const QString decrypted = crypto.decryptString(encrypted);
        allBack = allBack && decrypted == text;
        out << qSetFieldWidth(11) << Qt::left << QString::fromLatin1(pair.name) + QLatin1Char(':')
            << qSetFieldWidth(0) << encrypted << '\n'
            << "           " << (decrypted == text ? "decrypts back" : "DOES NOT decrypt back")
            << '\n';
    }
    out.flush();
    return allBack ? 0 : 1;
}
