#include <KtPath.h>

#include <QtTest>

using namespace Kito;

class tst_KtPath : public QObject
{
    Q_OBJECT

private slots:
    void getNameAndExtension_data();
    void getNameAndExtension();
    void getExtension_data();
    void getExtension();
    void getName_data();
    void getName();
    void getShortName_data();
    void getShortName();
    void getParentDirectory_data();
    void getParentDirectory();
    void combine_data();
    void combine();
    void isAbsolute_data();
    void isAbsolute();
    void replaceSeparator_data();
    void replaceSeparator();
    void addExtension_data();
    void addExtension();
    void stripExtension_data();
    void stripExtension();
};

void tst_KtPath::getNameAndExtension_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<bool>("hadDot");

    QTest::newRow("two dots split at the last") << "archive.tar.gz"
                                                << "archive.tar"
                                                << "gz" << true;
    QTest::newRow("no dot") << "README"
                            << "README"
                            << "" << false;
    QTest::newRow("leading dot only") << ".profile"
                                      << ""
                                      << "profile" << true;
    QTest::newRow("trailing dot") << "name."
                                  << "name"
                                  << "" << true;
    QTest::newRow("double dot keeps one in name") << "a..b"
                                                  << "a."
                                                  << "b" << true;
    QTest::newRow("dot in a directory") << "C:/data.old/file"
                                        << "C:/data"
                                        << "old/file" << true;
    QTest::newRow("empty") << ""
                           << ""
                           << "" << false;
}

void tst_KtPath::getNameAndExtension()
{
    QFETCH(QString, fileName);
    QFETCH(QString, name);
    QFETCH(QString, extension);
    QFETCH(bool, hadDot);

    // Both outputs are overwritten, whatever they held.
    QString gotName = QStringLiteral("stale");
    QString gotExtension = QStringLiteral("stale");
    QCOMPARE(KtPath::getNameAndExtension(fileName, gotName, gotExtension), hadDot);
    QCOMPARE(gotName, name);
    QCOMPARE(gotExtension, extension);
}

void tst_KtPath::getExtension_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("extension");

    QTest::newRow("last of several") << "archive.tar.gz"
                                     << "gz";
    QTest::newRow("dot in a directory") << "C:/data.old/file"
                                        << "old/file";
    QTest::newRow("none") << "dir/README"
                          << "";
    QTest::newRow("trailing dot") << "a/b."
                                  << "";
    QTest::newRow("hidden file") << "home/.bashrc"
                                 << "bashrc";
    QTest::newRow("case kept") << "a/B.TXT"
                               << "TXT";
}

void tst_KtPath::getExtension()
{
    QFETCH(QString, path);
    QFETCH(QString, extension);
    QCOMPARE(KtPath::getExtension(path), extension);
}

void tst_KtPath::getName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("withExtension");
    QTest::addColumn<QString>("name");

    QTest::newRow("drive path without extension") << "C:/a/b.txt" << false << "b";
    QTest::newRow("drive path with extension") << "C:/a/b.txt" << true << "b.txt";
    QTest::newRow("trailing slash") << "a/b/" << true << "";
    QTest::newRow("trailing slash, no extension") << "a/b/" << false << "";
    QTest::newRow("inner dot stays") << "x/archive.tar.gz" << false << "archive.tar";
    QTest::newRow("dot only in a directory") << "dir.d/file" << false << "file";
    QTest::newRow("hidden file") << "home/.profile" << false << "";
    QTest::newRow("bare name") << "b.txt" << false << "b";
    QTest::newRow("empty") << "" << true << "";
#ifdef Q_OS_WIN
    QTest::newRow("backslashes are separators") << "C:\\a\\b.txt" << false << "b";
#else
    QTest::newRow("backslashes belong to the name") << "C:\\a\\b.txt" << false << "C:\\a\\b";
#endif
}

void tst_KtPath::getName()
{
    QFETCH(QString, path);
    QFETCH(bool, withExtension);
    QFETCH(QString, name);
    QCOMPARE(KtPath::getName(path, withExtension), name);
}

void tst_KtPath::getShortName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");

    // Backslashes separate on every platform here, unlike getName.
    QTest::newRow("backslashes") << "C:\\a\\b.txt"
                                 << "b.txt";
    QTest::newRow("mixed") << "a\\b/c.d"
                           << "c.d";
    QTest::newRow("slashes") << "/x/y/z.tar.gz"
                             << "z.tar.gz";
    QTest::newRow("trailing slash") << "a/b/"
                                    << "";
    QTest::newRow("bare") << "file"
                          << "file";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_KtPath::getShortName()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(KtPath::getShortName(path), name);
}

void tst_KtPath::getParentDirectory_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("parent");

    QTest::newRow("drive path") << "C:/a/b.txt"
                                << "C:/a";
    QTest::newRow("bare name") << "b.txt"
                               << "";
    QTest::newRow("root child") << "/a"
                                << "";
    QTest::newRow("trailing slash") << "a/"
                                    << "a";
    QTest::newRow("deep") << "a/b/c"
                          << "a/b";
    QTest::newRow("doubled slash") << "//x"
                                   << "/";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_KtPath::getParentDirectory()
{
    QFETCH(QString, path);
    QFETCH(QString, parent);
    QCOMPARE(KtPath::getParentDirectory(path), parent);
}

void tst_KtPath::combine_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("combined");

    QTest::newRow("backslashes and both slashes") << "C:\\data\\"
                                                  << "/img/a.png"
                                                  << "C:/data/img/a.png";
    QTest::newRow("empty first") << ""
                                 << "x"
                                 << "/x";
    QTest::newRow("empty second") << "a"
                                  << ""
                                  << "a/";
    QTest::newRow("both empty") << ""
                                << ""
                                << "/";
    QTest::newRow("runs of slashes") << "a///"
                                     << "///b"
                                     << "a/b";
    QTest::newRow("backslash runs") << "a\\\\"
                                    << "\\\\b"
                                    << "a/b";
    QTest::newRow("inner slashes kept") << "a//b"
                                        << "c//d"
                                        << "a//b/c//d";
    // Placeholders are legal in file names and must come through literally.
    QTest::newRow("placeholder in first") << "/data/%1"
                                          << "x"
                                          << "/data/%1/x";
    QTest::newRow("placeholder in both") << "a%2"
                                         << "b%1"
                                         << "a%2/b%1";
    QTest::newRow("bare placeholders") << "%1"
                                       << "%2"
                                       << "%1/%2";
}

void tst_KtPath::combine()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, combined);
    QCOMPARE(KtPath::combine(first, second), combined);
}

void tst_KtPath::isAbsolute_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("absolute");

    QTest::newRow("lower drive") << "c:/x" << true;
    QTest::newRow("drive without slash") << "C:x" << true;
    QTest::newRow("scheme-like run") << "abc:/x" << true;
    QTest::newRow("url") << "http://host/x" << true;
    QTest::newRow("root") << "/x" << true;
    QTest::newRow("relative") << "x/y" << false;
    QTest::newRow("digit drive") << "1:/x" << false;
    QTest::newRow("letters then digit") << "a1:/x" << false;
    QTest::newRow("colon first") << ":x" << false;
    QTest::newRow("dot relative") << "./x" << false;
    QTest::newRow("empty") << "" << false;
#ifdef Q_OS_WIN
    QTest::newRow("unc") << "\\\\server\\share" << true;
#else
    QTest::newRow("backslash is no separator") << "\\x" << false;
#endif
}

void tst_KtPath::isAbsolute()
{
    QFETCH(QString, path);
    QFETCH(bool, absolute);
    QCOMPARE(KtPath::isAbsolute(path), absolute);
}

void tst_KtPath::replaceSeparator_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QChar>("from");
    QTest::addColumn<QChar>("to");
    QTest::addColumn<QString>("replaced");

    QTest::newRow("backslashes") << "a\\b\\c" << QChar('\\') << QChar('/') << "a/b/c";
    QTest::newRow("slashes") << "a/b" << QChar('/') << QChar('\\') << "a\\b";
    QTest::newRow("case-sensitive") << "aAa" << QChar('a') << QChar('x') << "xAx";
    QTest::newRow("absent") << "abc" << QChar('/') << QChar('\\') << "abc";
    QTest::newRow("empty") << "" << QChar('/') << QChar('\\') << "";
}

void tst_KtPath::replaceSeparator()
{
    QFETCH(QString, path);
    QFETCH(QChar, from);
    QFETCH(QChar, to);
    QFETCH(QString, replaced);
    QCOMPARE(KtPath::replaceSeparator(path, from, to), replaced);
}

void tst_KtPath::addExtension_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<bool>("keepExisting");
    QTest::addColumn<QString>("result");

    QTest::newRow("leading dot dropped") << "a/b"
                                         << ".txt" << true << "a/b.txt";
    QTest::newRow("kept in another case") << "a/b.TXT"
                                          << "txt" << true << "a/b.TXT";
    QTest::newRow("appended again") << "a/b.txt"
                                    << "txt" << false << "a/b.txt.txt";
    QTest::newRow("only dots") << "a/b"
                               << "..." << true << "a/b";
    QTest::newRow("empty extension") << "a/b"
                                     << "" << true << "a/b";
    QTest::newRow("null extension") << "a/b" << QString() << false << "a/b";
    QTest::newRow("several leading dots") << "a/b"
                                          << "..txt" << false << "a/b.txt";
    QTest::newRow("similar extension") << "a/b.tx"
                                       << "txt" << true << "a/b.tx.txt";
    QTest::newRow("dot in a directory") << "a.txt/b"
                                        << "txt" << true << "a.txt/b.txt";
    QTest::newRow("empty path") << ""
                                << "txt" << false << ".txt";
}

void tst_KtPath::addExtension()
{
    QFETCH(QString, path);
    QFETCH(QString, extension);
    QFETCH(bool, keepExisting);
    QFETCH(QString, result);
    QCOMPARE(KtPath::addExtension(path, extension, keepExisting), result);
}

void tst_KtPath::stripExtension_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<bool>("caseSensitive");
    QTest::addColumn<bool>("recursive");
    QTest::addColumn<QString>("result");

    QTest::newRow("once") << "a.txt.txt"
                          << "txt" << true << false << "a.txt";
    QTest::newRow("recursive") << "a.txt.txt"
                               << "txt" << true << true << "a";
    QTest::newRow("case-sensitive mismatch") << "a.TXT"
                                             << "txt" << true << false << "a.TXT";
    QTest::newRow("case-insensitive") << "a.TXT"
                                      << "txt" << false << false << "a";
    QTest::newRow("recursive mixed case") << "a.TxT.txt.TXT"
                                          << "txt" << false << true << "a";
    QTest::newRow("recursive stops at another") << "a.gz.txt.txt"
                                                << "txt" << true << true << "a.gz";
    QTest::newRow("leading dot dropped") << "dir/a.txt"
                                         << ".txt" << true << false << "dir/a";
    QTest::newRow("empty extension") << "a.txt"
                                     << "" << true << false << "a.txt";
    QTest::newRow("only dots") << "a.txt"
                               << "..." << true << true << "a.txt";
    QTest::newRow("whole name is the extension") << ".txt"
                                                 << "txt" << true << true << "";
    QTest::newRow("no dot") << "txt"
                            << "txt" << true << true << "txt";
    // Only what follows the last dot is compared, so a two-part extension never matches.
    QTest::newRow("two-part extension") << "a.tar.gz"
                                        << "tar.gz" << true << false << "a.tar.gz";
}

void tst_KtPath::stripExtension()
{
    QFETCH(QString, path);
    QFETCH(QString, extension);
    QFETCH(bool, caseSensitive);
    QFETCH(bool, recursive);
    QFETCH(QString, result);
    QCOMPARE(KtPath::stripExtension(path, extension,
                 caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive, recursive),
        result);
}

QTEST_APPLESS_MAIN(tst_KtPath)
#include "tst_ktpath.moc"
