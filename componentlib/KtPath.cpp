#include "KtPath.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

namespace Kito {

namespace {

QString normalised(const QString &path)
{
    return QDir::fromNativeSeparators(path);
}

QString withForwardSlashes(QString path)
{
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString withoutLeadingDots(QString extension)
{
    int dots = 0;
    while (dots < extension.size() && extension.at(dots) == QLatin1Char('.'))
        ++dots;
    return extension.mid(dots);
}

} // namespace

QString KtPath::addExtension(QString path, QString extension, bool keepExisting)
{
    if (extension.isEmpty())
        return path;
    const QString normalisedPath = normalised(path);
    extension = withoutLeadingDots(extension);
    if (extension.isEmpty())
        return normalisedPath;
    if (keepExisting && getExtension(normalisedPath).compare(extension, Qt::CaseInsensitive) == 0)
        return normalisedPath;
    return normalisedPath + QLatin1Char('.') + extension;
}

QString KtPath::combine(QString first, QString second)
{
    first = withForwardSlashes(first);
    second = withForwardSlashes(second);
    while (first.endsWith(QLatin1Char('/')))
        first.chop(1);
    int leading = 0;
    while (leading < second.size() && second.at(leading) == QLatin1Char('/'))
        ++leading;
    second.remove(0, leading);
    // Both parts in one arg() call: a "%1" or "%2" inside a file name must stay literal.
    return QStringLiteral("%1/%2").arg(first, second);
}

QString KtPath::getExtension(QString path)
{
    QString name;
    QString extension;
    getNameAndExtension(path, name, extension);
    return extension;
}

QString KtPath::getName(QString path, bool withExtension)
{
    const QString normalisedPath = normalised(path);
    const QStringList parts = normalisedPath.split(QLatin1Char('/'));
    if (parts.isEmpty())
        return normalisedPath;
    const QString last = parts.last();
    if (withExtension)
        return last;
    QString name;
    QString extension;
    getNameAndExtension(last, name, extension);
    return name;
}

bool KtPath::getNameAndExtension(QString fileName, QString &name, QString &extension)
{
    QStringList parts = fileName.split(QLatin1Char('.'));
    if (parts.size() < 2) {
        name = fileName;
        extension.clear();
        return false;
    }
    extension = parts.takeLast();
    name = parts.join(QLatin1Char('.'));
    return true;
}

QString KtPath::getParentDirectory(QString path)
{
    QStringList parts = normalised(path).split(QLatin1Char('/'));
    if (parts.size() < 2)
        return QString();
    parts.removeLast();
    return parts.join(QLatin1Char('/'));
}

QString KtPath::getShortName(QString path)
{
    return withForwardSlashes(path).split(QLatin1Char('/')).last();
}

bool KtPath::isAbsolute(QString path)
{
    if (path.isEmpty())
        return false;
    // A drive or scheme prefix ("C:", "http:") or a leading slash.
    static const QRegularExpression prefix(
        QStringLiteral("^([A-Z]+:|/)"), QRegularExpression::CaseInsensitiveOption);
    return prefix.match(normalised(path)).hasMatch();
}

QString KtPath::replaceSeparator(QString path, QChar from, QChar to)
{
    return path.replace(from, to, Qt::CaseSensitive);
}

QString KtPath::stripExtension(
    QString path, QString extension, Qt::CaseSensitivity cs, bool recursive)
{
    if (extension.isEmpty())
        return path;
    QString result = normalised(path);
    extension = withoutLeadingDots(extension);
    if (extension.isEmpty())
        return result;
    // Each pass removes at least two characters, so the loop ends.
    while (getExtension(result).compare(extension, cs) == 0) {
        result.chop(extension.size() + 1);
        if (!recursive)
            break;
    }
    return result;
}

} // namespace Kito
