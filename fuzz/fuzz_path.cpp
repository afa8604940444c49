#include "FuzzTargets.h"

#include <KtPath.h>

#include <QDir>
#include <QList>
#include <QString>

using Kito::KtPath;

namespace {

QString slashes(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

} // namespace

namespace VelaFuzz {

bool path(const QByteArray &input)
{
    // Up to three strings, separated by zero bytes; the separator byte of replaceSeparator
    // and the flags come from the input's length.
    const QList<QByteArray> parts = input.split('\0');
    const QString a = QString::fromUtf8(parts.value(0));
    const QString b = QString::fromUtf8(parts.value(1));
    const QString c = QString::fromUtf8(parts.value(2));
    const bool flag = input.size() % 2;
    const Qt::CaseSensitivity cs = input.size() % 3 ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const QString normalA = QDir::fromNativeSeparators(a);
    bool ok = true;

    // combine: exactly one "/" where the parts meet, nothing else changed.
    const QString combined = KtPath::combine(a, b);
    QString first = slashes(a);
    while (first.endsWith(QLatin1Char('/')))
        first.chop(1);
    QString second = slashes(b);
    while (second.startsWith(QLatin1Char('/')))
        second.remove(0, 1);
    ok &= check(combined == first + QLatin1Char('/') + second, "combine joins with one slash");
    ok &= check(KtPath::getShortName(combined) == KtPath::getShortName(second),
        "the short name of a combination is that of its second part");

    // Name and extension take the text apart at its last dot, and put together give it back.
    QString name;
    QString extension;
    const bool split = KtPath::getNameAndExtension(a, name, extension);
    ok &= check(split ? name + QLatin1Char('.') + extension == a : name == a && extension.isEmpty(),
        "name and extension rebuild the text");
    ok &= check(split == a.contains(QLatin1Char('.')), "split exactly when there is a dot");
    ok &= check(!extension.contains(QLatin1Char('.')), "an extension holds no dot");
    ok &= check(KtPath::getExtension(a) == extension, "getExtension agrees");

    // The parent directory and the last element rebuild the normalised path.
    const QString parent = KtPath::getParentDirectory(a);
    const QString last = KtPath::getName(a, true);
    ok &= check(normalA.contains(QLatin1Char('/')) ? parent + QLatin1Char('/') + last == normalA
                                                   : parent.isEmpty() && last == normalA,
        "parent and name rebuild the path");
    ok &= check(!last.contains(QLatin1Char('/')), "a name holds no slash");
    const QString bare = KtPath::getName(a, false);
    ok &= check(last.startsWith(bare), "the name without extension begins the name");

    // An added extension is what stripping takes off again.
    const QString added = KtPath::addExtension(a, b, flag);
    QString plainExtension = b;
    while (plainExtension.startsWith(QLatin1Char('.')))
        plainExtension.remove(0, 1);
    if (!plainExtension.isEmpty() && !plainExtension.contains(QLatin1Char('.'))) {
        if (!flag)
            ok &= check(KtPath::stripExtension(added, b, Qt::CaseSensitive, false) == normalA,
                "stripExtension removes what addExtension added");
        ok &= check(KtPath::getExtension(added).compare(plainExtension, Qt::CaseInsensitive) == 0,
            "an added extension is the extension");
    }
    const QString stripped = KtPath::stripExtension(c, b, cs, flag);
    ok &= check(b.isEmpty() ? stripped == c : QDir::fromNativeSeparators(c).startsWith(stripped),
        "stripping only shortens the path");

    // Separators: nothing of from is left unless it is the replacement itself.
    const QChar from = b.isEmpty() ? QLatin1Char('\\') : b.at(0);
    const QChar to = c.isEmpty() ? QLatin1Char('/') : c.at(0);
    const QString replaced = KtPath::replaceSeparator(a, from, to);
    ok &= check(replaced.size() == a.size(), "replacing keeps the length");
    ok &= check(from == to || !replaced.contains(from), "every separator replaced");

    ok &= check(!KtPath::isAbsolute(QString()), "an empty path is not absolute");
    ok &= check(KtPath::isAbsolute(a) == KtPath::isAbsolute(normalA), "absolute after normalising");
    if (normalA.startsWith(QLatin1Char('/')))
        ok &= check(KtPath::isAbsolute(a), "a leading slash is absolute");
    return ok;
}

} // namespace VelaFuzz
