#ifndef KTLIB_QTCOMPAT_P_H
#define KTLIB_QTCOMPAT_P_H

// The few places where Qt 5 and Qt 6 offer no common spelling. Internal to Ktlib.

#include <QByteArray>
#include <QLibraryInfo>
#include <QString>
#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringDecoder>
#else
#include <QTextCodec>
#endif

namespace Kito {
namespace QtCompat {

// Qt's own translations folder.
inline QString qtTranslationsPath()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    return QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
}

// Strict UTF-8: false for an invalid or truncated sequence anywhere, where QString::fromUtf8
// would quietly put U+FFFD in its place. A leading byte order mark is dropped.
inline bool decodeUtf8(const char *data, int size, QString *text)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Stateless: a sequence cut off at the end is an error, not kept for a next chunk.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    *text = decoder.decode(QByteArrayView(data, size));
    return !decoder.hasError();
#else
    QTextCodec::ConverterState state;
    *text = QTextCodec::codecForMib(106)->toUnicode(data, size, &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
#endif
}

} // namespace QtCompat
} // namespace Kito

#endif
