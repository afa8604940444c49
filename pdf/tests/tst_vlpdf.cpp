#include "pdffixtures.h"

#include <VlPdf.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLibrary>
#include <QMutexLocker>
#include <QProcess>
#include <QRandomGenerator>
#include <QRecursiveMutex>
#include <QTemporaryDir>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QtTest>

#include <memory>

using namespace Vela;

namespace {

const char *const CHILD_MODE = "VELA_PDF_CHILD";
const char *const CHILD_FIXTURE = "VELA_PDF_FIXTURE";

#if defined(__SANITIZE_ADDRESS__)
const bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool SANITIZED = true;
#else
const bool SANITIZED = false;
#endif
#else
const bool SANITIZED = false;
#endif

// Resident memory of this process in KiB (Linux); 0 where it cannot be read.
qint64 residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * 4 : 0;
}

} // namespace

class tst_VlPdf : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void rendererLoadsFromFolderBesideApplication();
    void errorMessages_data();
    void errorMessages();
    void pageCountFollowsOpenAndClose();
    void renderedSizes_data();
    void renderedSizes();
    void renderWithoutPageGivesNothing_data();
    void renderWithoutPageGivesNothing();
    void backgroundStaysTransparentWhereNothingIsDrawn();
    void pixelsMatchTheReferenceDrawing_data();
    void pixelsMatchTheReferenceDrawing();
    void passwordProtectedFile();
    void openTakesPathsBeyondTheLocalCodePage();
    void unreadableInputGivesItsErrorCode_data();
    void unreadableInputGivesItsErrorCode();
    void sharedBufferIsHeldUntilClose();
    void loadReplacesLeftoverDocument();
    void unallocatableSizeGivesNullImage_data();
    void unallocatableSizeGivesNullImage();
    void destructorClosesOpenDocument();
    void longRenderLoopKeepsMemoryFlat();
    void globalLockerIsOneRecursiveMutex();

    void missingRendererGivesEmptyResults();
    void dependencyLoadedOnlyWhenNotAlreadyLoaded();

    // Run only inside a copy of this executable started by the two tests above.
    void childWithoutRenderer();
    void childWithDependencies();

private:
    QString runChild(const QString &mode, const QString &function, bool withRenderer);

    QTemporaryDir m_dir;
    QString m_pdf;
    QString m_encrypted;
    QString m_garbage;
};

void tst_VlPdf::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_pdf = m_dir.filePath(QStringLiteral("four-pages.pdf"));
    QVERIFY(PdfFixtures::writePdf(m_pdf,
        {QSizeF(612, 792), QSizeF(800, 600), PdfFixtures::fractionalA4(), QSizeF(300, 300)}));

    m_encrypted = m_dir.filePath(QStringLiteral("encrypted.pdf"));
    if (!PdfFixtures::writeEncrypted(m_pdf, m_encrypted, QStringLiteral("secret")))
        m_encrypted.clear();

    m_garbage = m_dir.filePath(QStringLiteral("garbage.pdf"));
    QFile garbage(m_garbage);
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    QRandomGenerator random(4);
    for (int i = 0; i < 4096; ++i)
        garbage.putChar(char(random.bounded(256)));
}

void tst_VlPdf::rendererLoadsFromFolderBesideApplication()
{
    if (qEnvironmentVariableIsSet(CHILD_MODE))
        QSKIP("child run");
    VlPdf pdf;
    QVERIFY(pdf.isLibraryLoaded());
    QCOMPARE(pdf.scale(), 1.0);
    QVERIFY(pdf.filePath().isEmpty());
    VlPdf named(m_pdf, nullptr);
    QCOMPARE(named.filePath(), m_pdf);
    QVERIFY(named.open());
    QCOMPARE(named.pageCount(), 4);
    QCOMPARE(named.lastError(), 0ul);
}

void tst_VlPdf::errorMessages_data()
{
    QTest::addColumn<qulonglong>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("0") << 0ull << "No error.";
    QTest::newRow("1") << 1ull << "Unknown error.";
    QTest::newRow("2") << 2ull << "File not found or could not be opened.";
    QTest::newRow("3") << 3ull << "File not in PDF format or corrupted.";
    QTest::newRow("4") << 4ull << "Password required or incorrect password.";
    QTest::newRow("5") << 5ull << "Unsupported security scheme.";
    QTest::newRow("6") << 6ull << "Page not found or content error.";
    QTest::newRow("7") << 7ull << "Unknown error.";
    QTest::newRow("huge") << 0xffffffffull << "Unknown error.";
}

void tst_VlPdf::errorMessages()
{
    QFETCH(qulonglong, code);
    QFETCH(QString, message);
    QCOMPARE(VlPdf::getErrorMessage((unsigned long)code), message);
}

void tst_VlPdf::pageCountFollowsOpenAndClose()
{
    VlPdf pdf;
    QCOMPARE(pdf.pageCount(), 0);
    QVERIFY(pdf.open(m_pdf, QString()));
    QCOMPARE(pdf.filePath(), m_pdf);
    QCOMPARE(pdf.pageCount(), 4);

    pdf.close();
    QCOMPARE(pdf.pageCount(), 0);
    QVERIFY(pdf.filePath().isEmpty());
    pdf.close();
    QCOMPARE(pdf.pageCount(), 0);

    // The cleared path is what open() uses now.
    QVERIFY(!pdf.open());
    QVERIFY(!pdf.render());

    pdf.setFilePath(m_pdf);
    QVERIFY(pdf.open());
    QCOMPARE(pdf.pageCount(), 4);
    // Opening again replaces the document.
    QVERIFY(pdf.open(m_pdf, QString()));
    QCOMPARE(pdf.pageCount(), 4);
}

void tst_VlPdf::renderedSizes_data()
{
    QTest::addColumn<bool>("fromMemory");
    QTest::addColumn<int>("page");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QSize>("target");
    QTest::addColumn<QSize>("expected");

    for (const bool memory : {false, true}) {
        const char *from = memory ? "memory" : "file";
        QTest::addRow("%s: letter natural", from)
            << memory << 0 << 1.0 << QSize() << QSize(612, 792);
        QTest::addRow("%s: letter scale 2", from)
            << memory << 0 << 2.0 << QSize() << QSize(1224, 1584);
        QTest::addRow("%s: fractional page truncates", from)
            << memory << 2 << 1.0 << QSize() << QSize(595, 841);
        QTest::addRow("%s: landscape fitted into square", from)
            << memory << 1 << 1.0 << QSize(100, 100) << QSize(100, 75);
        QTest::addRow("%s: letter fitted into full hd", from)
            << memory << 0 << 1.0 << QSize(1920, 1080) << QSize(834, 1080);
        QTest::addRow("%s: scale applies before fitting", from)
            << memory << 3 << 0.5 << QSize(1000, 50) << QSize(50, 50);
        QTest::addRow("%s: half scale", from) << memory << 3 << 0.5 << QSize() << QSize(150, 150);
        QTest::addRow("%s: invalid target means natural", from)
            << memory << 1 << 1.0 << QSize(0, 100) << QSize(800, 600);
        QTest::addRow("%s: zero natural size takes the target", from)
            << memory << 0 << 0.0 << QSize(200, 100) << QSize(200, 100);
    }
}

void tst_VlPdf::renderedSizes()
{
    QFETCH(bool, fromMemory);
    QFETCH(int, page);
    QFETCH(double, scale);
    QFETCH(QSize, target);
    QFETCH(QSize, expected);

    VlPdf pdf;
    if (fromMemory) {
        QFile file(m_pdf);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(pdf.load(std::make_shared<QByteArray>(file.readAll()), QString()));
    } else {
        QVERIFY(pdf.open(m_pdf, QString()));
    }
    pdf.setScale(scale);
    const auto image = pdf.render(page, target);
    QVERIFY(image);
    QCOMPARE(image->size(), expected);
    // What a caller can learn before drawing matches what the render turns out to be.
    QCOMPARE(pdf.renderSize(page, target), expected);
    QCOMPARE(VlPdf::renderBytes(expected), quint64(image->sizeInBytes()));
    if (target.isEmpty()) {
        const QSizeF points = pdf.pageSize(page);
        QCOMPARE(QSize(int(points.width() * scale), int(points.height() * scale)), expected);
    }
    QCOMPARE(image->format(), QImage::Format_ARGB32);
}

void tst_VlPdf::renderWithoutPageGivesNothing_data()
{
    QTest::addColumn<bool>("opened");
    QTest::addColumn<int>("page");

    QTest::newRow("nothing open") << false << 0;
    QTest::newRow("page equal to count") << true << 4;
    QTest::newRow("negative page") << true << -1;
}

void tst_VlPdf::renderWithoutPageGivesNothing()
{
    QFETCH(bool, opened);
    QFETCH(int, page);
    VlPdf pdf;
    if (opened)
        QVERIFY(pdf.open(m_pdf, QString()));
    QVERIFY(!pdf.render(page, QSize()));
    QVERIFY(!pdf.render(page, QSize(100, 100)));
    QVERIFY(pdf.pageSize(page).isEmpty());
    QVERIFY(pdf.renderSize(page, QSize(100, 100)).isEmpty());
    QVERIFY(!pdf.render(static_cast<fpdf_page_t__ *>(nullptr), QSize(10, 10)));
}

void tst_VlPdf::backgroundStaysTransparentWhereNothingIsDrawn()
{
    VlPdf pdf;
    QVERIFY(pdf.open(m_pdf, QString()));
    const auto image = pdf.render(0, QSize());
    QVERIFY(image);
    QCOMPARE(image->size(), QSize(612, 792));
    // The fixture leaves the top-left quarter of every page empty.
    QCOMPARE(qAlpha(image->pixel(20, 20)), 0);
    QCOMPARE(qAlpha(image->pixel(300, 390)), 0);
    QCOMPARE(qAlpha(image->pixel(600, 20)), 255);
    QCOMPARE(image->pixelColor(600, 20), QColor(200, 30, 30));
    QCOMPARE(image->pixelColor(20, 780), QColor(20, 60, 200));
}

void tst_VlPdf::pixelsMatchTheReferenceDrawing_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("drawn");
    QTest::addColumn<QByteArray>("sha1");

    // Digests of the pixels drawn by the Qt 5 build: a Qt 6 build must draw the same bytes
    // (format, premultiplication, background and row layout all show in them).
    QTest::newRow("natural size") << QSize() << QSize(40, 30)
                                  << QByteArray("af000c00941ecfc453c2e1844a8e18155d09cf0c");
    QTest::newRow("scaled up") << QSize(97, 61) << QSize(81, 61)
                               << QByteArray("e7aa3cbaf8aa1dec31c31c53912257a5ecd0b071");
    QTest::newRow("scaled down") << QSize(30, 70) << QSize(30, 22)
                                 << QByteArray("4d1503e94b9cdc01d7b2e7c5d22bcd794e5d51e0");
}

void tst_VlPdf::pixelsMatchTheReferenceDrawing()
{
    QFETCH(QSize, size);
    QFETCH(QSize, drawn);
    QFETCH(QByteArray, sha1);

    VlPdf pdf;
    QVERIFY(pdf.load(std::make_shared<QByteArray>(PdfFixtures::drawingPdf()), QString()));
    const auto image = pdf.render(0, size);
    QVERIFY(image);
    QCOMPARE(image->format(), QImage::Format_ARGB32);
    QCOMPARE(image->size(), drawn);
    QCOMPARE(PdfFixtures::pixelDigest(*image), sha1);
}

void tst_VlPdf::passwordProtectedFile()
{
    if (m_encrypted.isEmpty())
        QSKIP("qpdf is not installed");
    VlPdf pdf;
    QVERIFY(!pdf.open(m_encrypted, QString("")));
    QCOMPARE(pdf.lastError(), 4ul);
    QCOMPARE(VlPdf::getErrorMessage(pdf.lastError()),
        QStringLiteral("Password required or incorrect password."));
    QVERIFY(!pdf.open(m_encrypted, QStringLiteral("wrong")));
    QCOMPARE(pdf.lastError(), 4ul);
    QCOMPARE(pdf.pageCount(), 0);

    QVERIFY(pdf.open(m_encrypted, QStringLiteral("secret")));
    QCOMPARE(pdf.pageCount(), 4);

    QFile file(m_encrypted);
    QVERIFY(file.open(QIODevice::ReadOnly));
    auto bytes = std::make_shared<QByteArray>(file.readAll());
    VlPdf memory;
    QVERIFY(!memory.load(bytes, QString()));
    QCOMPARE(memory.lastError(), 4ul);
    QVERIFY(memory.load(bytes, QStringLiteral("secret")));
    QVERIFY(memory.render(1, QSize(80, 80)));
}

void tst_VlPdf::openTakesPathsBeyondTheLocalCodePage()
{
    const QString path = m_dir.filePath(QString::fromUtf8("\xe6\x96\x87\xe6\x9b\xb8-\xce\xb1.pdf"));
    QVERIFY(QFile::copy(m_pdf, path));
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // A code page without these characters, as on a Western Windows machine. Qt 6 has no
    // locale codec to change (its 8-bit encoding is always UTF-8 here), so there only the
    // path itself is tried.
    QTextCodec *const previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
#endif
    VlPdf pdf;
    const bool opened = pdf.open(path, QString());
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(previous);
#endif
    QVERIFY(opened);
    QCOMPARE(pdf.pageCount(), 4);
}

void tst_VlPdf::unreadableInputGivesItsErrorCode_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<ulong>("code");

    QTest::newRow("garbage file") << "garbage-file" << 3ul;
    QTest::newRow("garbage bytes") << "garbage-memory" << 3ul;
    QTest::newRow("truncated header") << "truncated-memory" << 3ul;
    QTest::newRow("missing file") << "missing-file" << 2ul;
}

void tst_VlPdf::unreadableInputGivesItsErrorCode()
{
    QFETCH(QString, kind);
    QFETCH(ulong, code);

    VlPdf pdf;
    bool ok = true;
    if (kind == "garbage-file") {
        ok = pdf.open(m_garbage, QString());
    } else if (kind == "missing-file") {
        ok = pdf.open(m_dir.filePath(QStringLiteral("no-such.pdf")), QString());
    } else {
        QFile file(kind == "garbage-memory" ? m_garbage : m_pdf);
        QVERIFY(file.open(QIODevice::ReadOnly));
        auto bytes = std::make_shared<QByteArray>(file.read(kind == "garbage-memory" ? 4096 : 9));
        ok = pdf.load(bytes, QString());
    }
    QVERIFY(!ok);
    QCOMPARE(pdf.lastError(), code);
    QCOMPARE(pdf.pageCount(), 0);
    QVERIFY(!pdf.render(0, QSize()));
}

void tst_VlPdf::sharedBufferIsHeldUntilClose()
{
    QFile file(m_pdf);
    QVERIFY(file.open(QIODevice::ReadOnly));
    auto bytes = std::make_shared<QByteArray>(file.readAll());
    const std::weak_ptr<QByteArray> watch = bytes;

    VlPdf pdf;
    QVERIFY(pdf.load(bytes, QString()));
    bytes.reset();
    QVERIFY(!watch.expired());
    // PDFium reads pages lazily from the buffer, so rendering proves it is still there.
    QVERIFY(pdf.render(3, QSize()));
    QCOMPARE(pdf.pageCount(), 4);

    pdf.close();
    QVERIFY(watch.expired());
    QCOMPARE(pdf.pageCount(), 0);
}

void tst_VlPdf::loadReplacesLeftoverDocument()
{
    const QString single = m_dir.filePath(QStringLiteral("single.pdf"));
    QVERIFY(PdfFixtures::writePdf(single, {QSizeF(200, 100)}));
    QFile first(m_pdf);
    QFile second(single);
    QVERIFY(first.open(QIODevice::ReadOnly));
    QVERIFY(second.open(QIODevice::ReadOnly));
    auto firstBytes = std::make_shared<QByteArray>(first.readAll());
    const QByteArray singleBytes = second.readAll();
    const std::weak_ptr<QByteArray> watchFirst = firstBytes;

    VlPdf pdf;
    QVERIFY(pdf.load(firstBytes, QString()));
    firstBytes.reset();
    QVERIFY(pdf.load(std::make_shared<QByteArray>(singleBytes), QString()));
    QVERIFY(watchFirst.expired());
    QCOMPARE(pdf.pageCount(), 1);
    const auto image = pdf.render(0, QSize());
    QVERIFY(image);
    QCOMPARE(image->size(), QSize(200, 100));

    // An open file gives way to a buffer as well.
    QVERIFY(pdf.open(m_pdf, QString()));
    QCOMPARE(pdf.pageCount(), 4);
    QVERIFY(pdf.load(std::make_shared<QByteArray>(singleBytes), QString()));
    QCOMPARE(pdf.pageCount(), 1);
}

void tst_VlPdf::unallocatableSizeGivesNullImage_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<QSize>("target");

    QTest::newRow("absurd scale") << 1e12 << QSize();
    QTest::newRow("absurd target") << 1.0 << QSize(2000000000, 2000000000);
    QTest::newRow("negative scale") << -1.0 << QSize();
    QTest::newRow("zero scale") << 0.0 << QSize();
}

void tst_VlPdf::unallocatableSizeGivesNullImage()
{
    QFETCH(double, scale);
    QFETCH(QSize, target);
    VlPdf pdf;
    QVERIFY(pdf.open(m_pdf, QString()));
    pdf.setScale(scale);
    const auto image = pdf.render(0, target);
    QVERIFY(!image || image->isNull());
    // The document is still usable afterwards.
    pdf.setScale(1.0);
    QVERIFY(pdf.render(3, QSize(10, 10)));
}

void tst_VlPdf::destructorClosesOpenDocument()
{
    QFile file(m_pdf);
    QVERIFY(file.open(QIODevice::ReadOnly));
    auto bytes = std::make_shared<QByteArray>(file.readAll());
    const std::weak_ptr<QByteArray> watch = bytes;
    {
        auto *pdf = new VlPdf();
        QVERIFY(pdf->load(bytes, QString()));
        bytes.reset();
        auto *fromFile = new VlPdf(m_pdf, pdf);
        QVERIFY(fromFile->open());
        // The child goes with its parent; both documents are closed on the way (the
        // sanitizer run reports PDFium memory that is not given back).
        delete pdf;
    }
    QVERIFY(watch.expired());
}

void tst_VlPdf::longRenderLoopKeepsMemoryFlat()
{
    if (SANITIZED)
        QSKIP("the sanitizer's quarantine keeps freed memory resident; leaks are its own check");
    VlPdf pdf;
    QVERIFY(pdf.open(m_pdf, QString()));
    for (int i = 0; i < 100; ++i)
        QVERIFY(pdf.render(3, QSize()));
    const qint64 before = residentKiB();
    if (before == 0)
        QSKIP("resident memory cannot be read here");
    for (int i = 0; i < 6000; ++i)
        QVERIFY(pdf.render(3, QSize()));
    const qint64 growth = residentKiB() - before;
    QVERIFY2(growth < 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(growth)));
}

void tst_VlPdf::globalLockerIsOneRecursiveMutex()
{
    QRecursiveMutex *locker = VlPdf::globalLocker();
    QVERIFY(locker);
    QCOMPARE(VlPdf::globalLocker(), locker);
    QMutexLocker outer(locker);
    QMutexLocker inner(locker);
    VlPdf pdf;
    QVERIFY(pdf.open(m_pdf, QString()));
    QVERIFY(pdf.render(3, QSize()));
}

QString tst_VlPdf::runChild(const QString &mode, const QString &function, bool withRenderer)
{
    // A copy of this executable in a folder of its own: its "pdfium" folder is whatever the
    // test puts there. The libraries of the build are still found through the run path.
    QTemporaryDir bin;
    if (!bin.isValid())
        return QStringLiteral("no temporary folder");
    const QString exe = bin.filePath(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    if (!QFile::copy(QCoreApplication::applicationFilePath(), exe))
        return QStringLiteral("cannot copy the test executable");
    if (withRenderer) {
        QDir(bin.path()).mkdir(QStringLiteral("pdfium"));
        const QString own = QCoreApplication::applicationDirPath() + "/pdfium/libpdfium.so";
        const QString dir = bin.filePath(QStringLiteral("pdfium/"));
        // Dependencies that PDFium does not need but that exist on the system, so that their
        // loading can be watched; libc++.so.1 stays missing on purpose.
        if (!QFile::link(own, dir + "libpdfium.so")
            || !QFile::link(QStringLiteral("/lib/x86_64-linux-gnu/libz.so.1"), dir + "libz.so.1")
            || !QFile::link(
                QStringLiteral("/lib/x86_64-linux-gnu/libicuuc.so"), dir + "libicuuc.so"))
            return QStringLiteral("cannot link the libraries");
    }

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(CHILD_MODE), mode);
    env.insert(QString::fromLatin1(CHILD_FIXTURE), m_pdf);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(exe, {function});
    if (!child.waitForFinished(60000))
        return QStringLiteral("child did not finish");
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0
        || !output.contains(QStringLiteral("PASS   : tst_VlPdf::") + function))
        return output;
    return QString();
}

void tst_VlPdf::missingRendererGivesEmptyResults()
{
    if (qEnvironmentVariableIsSet(CHILD_MODE))
        QSKIP("child run");
    const QString failure = runChild(QStringLiteral("missing"), "childWithoutRenderer", false);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void tst_VlPdf::dependencyLoadedOnlyWhenNotAlreadyLoaded()
{
    if (qEnvironmentVariableIsSet(CHILD_MODE))
        QSKIP("child run");
    if (!QFile::exists(QStringLiteral("/lib/x86_64-linux-gnu/libz.so.1"))
        || !QFile::exists(QStringLiteral("/lib/x86_64-linux-gnu/libicuuc.so")))
        QSKIP("needs the system's zlib and ICU development links");
    const QString failure = runChild(QStringLiteral("deps"), "childWithDependencies", true);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void tst_VlPdf::childWithoutRenderer()
{
    if (qgetenv(CHILD_MODE) != "missing")
        QSKIP("runs only as the child of missingRendererGivesEmptyResults");
    const QString fixture = qEnvironmentVariable(CHILD_FIXTURE);
    QVERIFY(QFile::exists(fixture));
    QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + "/pdfium"));

    VlPdf pdf;
    QVERIFY(!pdf.isLibraryLoaded());
    QCOMPARE(pdf.lastError(), 0ul);
    QVERIFY(!pdf.open(fixture, QString()));
    QCOMPARE(pdf.lastError(), 0ul);
    QCOMPARE(pdf.pageCount(), 0);
    QVERIFY(!pdf.render());
    QFile file(fixture);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(!pdf.load(std::make_shared<QByteArray>(file.readAll()), QString()));
    QCOMPARE(pdf.pageCount(), 0);
    QVERIFY(!pdf.render(0, QSize(100, 100)));
    pdf.close();
    QCOMPARE(VlPdf::getErrorMessage(pdf.lastError()), QStringLiteral("No error."));
}

void tst_VlPdf::childWithDependencies()
{
    if (qgetenv(CHILD_MODE) != "deps")
        QSKIP("runs only as the child of dependencyLoadedOnlyWhenNotAlreadyLoaded");
    const QString folder = QCoreApplication::applicationDirPath() + "/pdfium/";

    // Someone else loads ICU first; the renderer's loader must leave it alone.
    QLibrary icu(folder + "libicuuc.so");
    QVERIFY2(icu.load(), qPrintable(icu.errorString()));

    VlPdf pdf;
    QVERIFY(pdf.isLibraryLoaded());
    QVERIFY(QLibrary(folder + "libz.so.1").isLoaded());
    QVERIFY(!QLibrary(folder + "libc++.so.1").isLoaded());
    // Only our own load was counted, so our unload really unloads.
    QVERIFY(icu.unload());

    QVERIFY(pdf.open(qEnvironmentVariable(CHILD_FIXTURE), QString()));
    QCOMPARE(pdf.pageCount(), 4);
    QVERIFY(pdf.render(3, QSize()));
}

QTEST_MAIN(tst_VlPdf)
#include "tst_vlpdf.moc"
