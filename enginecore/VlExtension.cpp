#include "VlExtension.h"

#include <QCoreApplication>
#include <QImageReader>
#include <QMetaEnum>
#include <QSet>

namespace Vela {

QString MediaType::name(MediaTypes type)
{
    return QString::fromLatin1(QMetaEnum::fromType<MediaTypes>().valueToKey(type));
}

namespace {

QSet<QString> readImageSuffixes()
{
    QSet<QString> suffixes;
    const auto formats = QImageReader::supportedImageFormats();
    for (const QByteArray &format : formats)
        suffixes.insert(QString::fromLatin1(format).toLower());
    // A PDF is never an image here, even when an image plugin claims the format.
    suffixes.remove(QStringLiteral("pdf"));
    return suffixes;
}

QSet<QString> imageSuffixes()
{
    // Image plugins are found through the application's library paths, so the list is
    // only final once the application object exists.
    if (!QCoreApplication::instance())
        return readImageSuffixes();
    static const QSet<QString> suffixes = readImageSuffixes();
    return suffixes;
}

} // namespace

VlExtension::VlExtension() = default;
VlExtension::~VlExtension() = default;

MediaType::MediaTypes VlExtension::getMediaType(QString suffix) const
{
    suffix = suffix.trimmed().toLower();
    if (suffix.startsWith(QLatin1Char('.')))
        suffix.remove(0, 1);
    if (suffix.isEmpty())
        return MediaType::unKnown;

    static const QSet<QString> movies = {QStringLiteral("mp4"), QStringLiteral("m4v"),
        QStringLiteral("mov"), QStringLiteral("avi"), QStringLiteral("wmv"), QStringLiteral("mpg"),
        QStringLiteral("mpeg"), QStringLiteral("mkv"), QStringLiteral("webm"),
        QStringLiteral("flv"), QStringLiteral("ts"), QStringLiteral("m2ts"), QStringLiteral("3gp"),
        QStringLiteral("ogv")};
    static const QSet<QString> webs
        = {QStringLiteral("htm"), QStringLiteral("html"), QStringLiteral("url")};

    if (suffix == QLatin1String("pdf"))
        return MediaType::pdf;
    if (movies.contains(suffix))
        return MediaType::movie;
    if (suffix == QLatin1String("swf"))
        return MediaType::flash;
    if (webs.contains(suffix))
        return MediaType::web;
    if (imageSuffixes().contains(suffix))
        return MediaType::image;
    return MediaType::unKnown;
}

} // namespace Vela
