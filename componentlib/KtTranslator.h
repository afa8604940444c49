#ifndef KITO_KTTRANSLATOR_H
#define KITO_KTTRANSLATOR_H

#include "ktlib_export.h"

#include <QList>
#include <QString>

class QApplication;
class QTranslator;

namespace Kito {

// Installs an application's translations in one call and removes them again.
//
// The locale is the system's unless a file "LOCALE" names another on its first line; that
// file is looked for in the writable generic data location first, then beside the
// executable. install() loads, in this order, Qt's own translations, "qt_<locale>" and
// "kito_<locale>" from the "translations" folder beside the executable, and every "*.qm" file
// of "translations/<locale>". Qt consults the most recently installed translator first, so
// the per-locale files win over the library's, which win over Qt's.
//
// Use it from the application's main thread, as QCoreApplication::installTranslator requires.
class KTLIB_EXPORT KtTranslator
{
public:
    // The pointer is only kept; translators are installed through QCoreApplication.
    explicit KtTranslator(QApplication *application);
    // Uninstalls and deletes every translator this object installed.
    ~KtTranslator();

    // Owns the translators it installed: a copy would delete them twice.
    KtTranslator(const KtTranslator &) = delete;
    KtTranslator &operator=(const KtTranslator &) = delete;

    // Installs what loads and keeps it. Nothing is reported: a missing file or folder just
    // installs nothing. A second call installs and keeps a second set.
    void install();

    // Uninstalls and deletes the kept translators in the order they were installed.
    void remove();

private:
    QString getLocaleName();
    void installIfLoaded(const QString &baseName, const QString &directory);

    // Kept for the host's sake only; nothing here reads it, which clang would warn about.
    [[maybe_unused]] QApplication *application;
    QList<QTranslator *> translators;
};

} // namespace Kito

#endif
