// Uses every installed library through its installed header only.
#ifdef HAVE_KTLIB
#include <KtCrypto.h>
#include <KtPath.h>
#endif
#include <VlExtension.h>
#ifdef HAVE_VLPDF
#include <VlExclusiveLocker.h>
#include <VlPdf.h>
#include <VlPdfAsync.h>
#endif
#ifdef HAVE_VLCONTENTREADER
#include <VlContentReader.h>
#endif
#ifdef HAVE_VLEDITORSTARTMENU
#include <VlEditorStartMenu.h>
#endif

#include <QApplication>
#include <cstdio>

static int failures = 0;
static void check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++failures;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);

    check(Vela::VlExtension().getMediaType(QStringLiteral("PNG")) == 1, "VlCore media type");
#ifdef HAVE_KTLIB
    check(Kito::KtPath::combine(QStringLiteral("/data"), QStringLiteral("x"))
            == QStringLiteral("/data/x"),
        "Ktlib path");
    Kito::KtCrypto crypto;
    const QString secret = crypto.encryptString(QStringLiteral("hello"));
    check(!secret.isEmpty() && crypto.decryptString(secret) == QStringLiteral("hello"),
        "Ktlib cipher");
#endif
#ifdef HAVE_VLPDF
    {
        Vela::VlPdf pdf;
        check(pdf.isLibraryLoaded(), "VlPdf loads PDFium");
        Vela::VlExclusiveLocker::Locker lock(QStringLiteral("consumer"));
    }
#endif
#ifdef HAVE_VLCONTENTREADER
    check(Vela::VlContentReader::getMaximumCacheSize() > 0, "VlContentReader limits");
    Vela::VlContentReader::quit();
#endif
#ifdef HAVE_VLEDITORSTARTMENU
    {
        Vela::VlEditorStartMenu menu;
        menu.resize(640, 384);
        check(true, "VlEditorStartMenu constructs");
    }
#endif
    return failures == 0 ? 0 : 1;
}
