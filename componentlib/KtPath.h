#ifndef KITO_KTPATH_H
#define KITO_KTPATH_H

#include "ktlib_export.h"

#include <QChar>
#include <QString>

namespace Kito {

// String functions for file paths. They work on the text alone and never touch the file
// system, so they are safe from any thread.
//
// "Normalised" below means passed through QDir::fromNativeSeparators: only on Windows does a
// backslash become "/". combine and getShortName turn every backslash into "/" on every
// platform. Extensions are found by splitting the whole text at dots, directories included.
class KTLIB_EXPORT KtPath
{
public:
    // The normalised path followed by "." and the extension (leading dots of the extension
    // dropped). With keepExisting, a path that already ends in that extension (compared
    // without regard to case) is returned as it is. An empty extension leaves the path
    // untouched.
    static QString addExtension(QString path, QString extension, bool keepExisting);

    // The two parts joined by exactly one "/": trailing slashes of first and leading slashes
    // of second are dropped, backslashes become "/".
    static QString combine(QString first, QString second);

    // What follows the last dot of the whole text, empty when there is no dot.
    static QString getExtension(QString path);

    // The last element of the normalised path, with or without its extension.
    static QString getName(QString path, bool withExtension);

    // Splits at the last dot: name gets what precedes it, extension what follows it.
    // Returns false (and the whole text as name) when there is no dot.
    static bool getNameAndExtension(QString fileName, QString &name, QString &extension);

    // Everything before the last "/" of the normalised path; empty without a "/".
    static QString getParentDirectory(QString path);

    // The last element after turning every backslash into "/", extension included.
    static QString getShortName(QString path);

    // True for a leading "/", a drive letter or any run of letters followed by ":" (a URL
    // scheme). An empty path is not absolute.
    static bool isAbsolute(QString path);

    // Every from replaced by to, case-sensitively.
    static QString replaceSeparator(QString path, QChar from, QChar to);

    // The normalised path without a trailing extension (leading dots of the extension
    // dropped), compared under cs; with recursive, repeated until it no longer ends in it.
    // An empty extension leaves the path untouched.
    static QString stripExtension(
        QString path, QString extension, Qt::CaseSensitivity cs, bool recursive);
};

} // namespace Kito

#endif
