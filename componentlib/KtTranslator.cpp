#include "KtTranslator.h"

#include "KtPath.h"
#include "ktlib_qtcompat_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QStandardPaths>
#include <QTextStream>
#include <QTranslator>

#include <memory>
#include <utility>

namespace Kito {

KtTranslator::KtTranslator(QApplication *application)
    : application(application)
{ }

KtTranslator::~KtTranslator()
{
    remove();
}

QString KtTranslator::getLocaleName()
{
    QString localeName = QLocale::system().name();
    try {
        const QString dataDirectory = KtPath::replaceSeparator(
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
            QLatin1Char('\\'), QLatin1Char('/'));
        QString candidate = QStringLiteral("%1/%2").arg(dataDirectory, QStringLiteral("LOCALE"));
        // Only a missing file moves the search on: an existing but empty or unreadable file in
        // the data location still decides, and leaves the system locale in force.
        if (!QFile::exists(candidate))
            candidate = QStringLiteral("%1/%2").arg(
                QCoreApplication::applicationDirPath(), QStringLiteral("LOCALE"));
        QFile file(candidate);
        if (file.exists() && file.open(QIODevice::ReadOnly)) {
            QTextStream stream(&file);
            const QString line = stream.readLine();
            file.close();
            if (!line.isEmpty())
                localeName = line;
        }
    } catch (...) { }
    return localeName;
}

void KtTranslator::installIfLoaded(const QString &baseName, const QString &directory)
{
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(baseName, directory))
        return;
    // Kept before it is installed, so that remove() always finds what was installed.
    translators.append(translator.get());
    QCoreApplication::installTranslator(translator.release());
}

void KtTranslator::install()
{
    try {
        const QString locale = getLocaleName();
        const QString appDirectory = QCoreApplication::applicationDirPath();
        const QString appTranslations = QStringLiteral("%1/translations").arg(appDirectory);

        installIfLoaded(QStringLiteral("qt_") + locale, QtCompat::qtTranslationsPath());
        installIfLoaded(QStringLiteral("qt_") + locale, appTranslations);
        installIfLoaded(QStringLiteral("kito_") + locale, appTranslations);

        const QString localeFolder = QStringLiteral("%1/translations/%2").arg(appDirectory, locale);
        const QStringList files = QDir(localeFolder).entryList(QDir::Files, QDir::NoSort);
        for (const QString &fileName : files) {
            if (!fileName.endsWith(QLatin1String(".qm"), Qt::CaseSensitive))
                continue;
            installIfLoaded(
                KtPath::combine(localeFolder, KtPath::getName(fileName, false)), QString());
        }
    } catch (...) { }
}

void KtTranslator::remove()
{
    // Taken out first: removing a translator sends a LanguageChange event, and a handler of
    // that event may well call remove() again.
    const QList<QTranslator *> installed = std::exchange(translators, {});
    for (QTranslator *translator : installed) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

} // namespace Kito
