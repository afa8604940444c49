// PDF pages through the content reader, against the same pages drawn by PDFium called
// directly and by poppler's pdftoppm, on the same files in one run.
//
//   bench_contentreader_pdf [--rounds N] [--max-pages N] [--quick] [--render-processes N]
//                           [extra.pdf ...]
//
// With --render-processes N the reader draws through N render processes
// (VlContentReader::setPdfRenderProcesses): one request at a time, so consecutive pages of a
// document go to a process that keeps the document parsed.
//
// Every page is drawn at its natural size (72 dpi). The reader answers one page per request
// and loads the document afresh for each, from the file: its figures include the file read,
// the digest the cache takes of a new content, the page count, the render, the white
// flattening and the trip through the worker thread. The direct figures load the document
// once and render each page into a plain image. Each figure is the best of N rounds.

#include <VlContentReader.h>
#include <VlPdf.h>

#include "BenchDocuments.h"
#include "DirectPdfium.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLibrary>
#include <QMutexLocker>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>

using namespace Vela;

namespace {

constexpr double none = std::numeric_limits<double>::max();

struct Document
{
    QString name;
    QString path;
    int pages = 0; // pages measured (the first ones of the file)
    qint64 bytes = 0;
};

double msSince(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

// One request through the facade, waited for; false when it failed or timed out.
bool readPage(const QString &uri, int page)
{
    QEventLoop loop;
    bool ok = false;
    QObject::connect(VlContentReader::globalInstance(), &VlContentReader::readyContent, &loop,
        [&](const QString &readUri, int readPage) {
            if (readUri == uri && readPage == page) {
                ok = true;
                loop.quit();
            }
        });
    QObject::connect(VlContentReader::globalInstance(), &VlContentReader::failedToRead, &loop,
        [&](const QString &readUri, int readPage, const QString &message) {
            if (readUri == uri && readPage == page) {
                std::fprintf(
                    stderr, "%s page %d: %s\n", qPrintable(uri), page, qPrintable(message));
                loop.quit();
            }
        });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    VlContentReader::read(uri, page);
    loop.exec();
    return ok;
}

// Reads the first `pages` pages one request after another, starting from an empty cache.
double readThroughReader(const Document &doc, int pages)
{
    VlContentReader::clearAllCache();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < pages; ++i) {
        if (!readPage(doc.path, i))
            return -1;
    }
    const double ms = msSince(timer);
    VlContentReader::clearAllCache();
    return ms;
}

double renderWithPdftoppm(const Document &doc, int pages, const QString &outDir)
{
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("pdftoppm"),
        {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-f"), QStringLiteral("1"),
            QStringLiteral("-l"), QString::number(pages), doc.path, outDir + "/page"});
    if (!process.waitForFinished(600000) || process.exitCode() != 0)
        return -1;
    return msSince(timer);
}

int pageCountOf(const QString &path)
{
    VlPdf pdf;
    QMutexLocker globalLocker(VlPdf::globalLocker());
    if (!pdf.open(path, QString()))
        return 0;
    const int count = pdf.pageCount();
    pdf.close();
    return count;
}

Document documentAt(const QString &name, const QString &path, int maxPages)
{
    return {name, path, std::min(pageCountOf(path), maxPages), QFileInfo(path).size()};
}

// The PDFs of this machine's documentation, at most maxFiles of them.
QList<Document> realDocuments(const QString &scratch, int maxPages, int maxFiles)
{
    QList<Document> docs;
    for (const QString &path : documentationPdfs(scratch)) {
        if (docs.size() >= maxFiles)
            break;
        const Document doc = documentAt(QFileInfo(path).fileName(), path, maxPages);
        if (doc.pages > 0)
            docs.append(doc);
    }
    return docs;
}

struct Figures
{
    double readerAll = none, directAll = none, popplerAll = none;
    double readerOne = none, directOne = none, popplerOne = none;
};

void keepBest(double &best, double value)
{
    if (value >= 0)
        best = std::min(best, value);
}

QString cell(double ms, int pages)
{
    return ms == none ? QStringLiteral("-") : QString::number(ms / pages, 'f', 3);
}

QString ratio(double a, double b)
{
    return a == none || b == none ? QStringLiteral("-") : QString::number(a / b, 'f', 2) + 'x';
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    // The reader's and the locker's debug lines would drown the table.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    int rounds = 3;
    int maxPages = 40;
    int maxFiles = 8;
    QList<int> sizeSeries = {0, 16, 64, 160};
    QStringList extra;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args.at(++i).toInt());
        else if (args.at(i) == QLatin1String("--max-pages") && i + 1 < args.size())
            maxPages = std::max(1, args.at(++i).toInt());
        else if (args.at(i) == QLatin1String("--quick"))
            rounds = 1, maxPages = 10, maxFiles = 2, sizeSeries = {0, 16};
        else if (args.at(i) == QLatin1String("--render-processes") && i + 1 < args.size())
            VlContentReader::setPdfRenderProcesses(std::max(0, args.at(++i).toInt()));
        else
            extra.append(args.at(i));
    }

    VlPdf probe; // loads PDFium beside this executable
    QLibrary pdfium(QCoreApplication::applicationDirPath() + "/pdfium/libpdfium.so");
    DirectPdfium direct;
    if (!probe.isLibraryLoaded() || !pdfium.load() || !direct.resolve(pdfium)) {
        std::fprintf(stderr, "PDFium not found beside the executable\n");
        return 1;
    }
    const bool havePdftoppm = !QStandardPaths::findExecutable(QStringLiteral("pdftoppm")).isEmpty();

    QTemporaryDir scratch;
    QList<Document> docs;
    const QString generated = scratch.filePath(QStringLiteral("generated-20.pdf"));
    const QString photos = scratch.filePath(QStringLiteral("generated-photos-20.pdf"));
    if (!writeGeneratedPdf(generated, 20, GeneratedContent::Shapes)
        || !writeGeneratedPdf(photos, 20, GeneratedContent::Photos)) {
        std::fprintf(stderr, "cannot write the generated documents\n");
        return 1;
    }
    docs.append(documentAt(QStringLiteral("generated (20 pages)"), generated, 20));
    docs.append(documentAt(QStringLiteral("generated, photos (20 pages)"), photos, 20));
    // The same 20 light pages in ever larger files, made larger by pages with photos after
    // them; only the 20 text pages are measured.
    for (const int photoPages : sizeSeries) {
        const QString text = scratch.filePath(QStringLiteral("text-%1.pdf").arg(photoPages));
        if (!writeGeneratedPdf(text, 20, GeneratedContent::TextOnly, photoPages)) {
            std::fprintf(stderr, "cannot write the generated documents\n");
            return 1;
        }
        docs.append(
            documentAt(QStringLiteral("text 20 + %1 photo pages").arg(photoPages), text, 20));
    }
    for (const QString &path : qAsConst(extra)) {
        const Document doc = documentAt(QFileInfo(path).fileName(), path, maxPages);
        if (doc.pages > 0)
            docs.append(doc);
    }
    docs += realDocuments(scratch.path(), maxPages, maxFiles);

    // The reader's worker thread of each document starts here, outside the measurements, as it
    // would in a host that shows the document for a while.
    VlContentReader::globalInstance();
    for (const Document &doc : qAsConst(docs))
        readThroughReader(doc, 1);

    std::printf("PDF pages at natural size, ms per page, best of %d rounds, %s\n", rounds,
        VlContentReader::pdfRenderProcesses() > 0
            ? qPrintable(QStringLiteral("reader through %1 render processes")
                             .arg(VlContentReader::pdfRenderProcesses()))
            : "reader in-process");
    std::printf(
        "all: every measured page (reader: one request per page, each loading the file;\n"
        "direct: load once, render each page); one: the first page alone, load included\n\n");
    std::printf("%-30s %5s %7s | %8s %8s %8s %7s | %8s %8s %8s %7s\n", "document", "pages", "KiB",
        "reader", "direct", "pdftoppm", "ratio", "reader", "direct", "pdftoppm", "ratio");
    std::printf("%-30s %5s %7s | %8s %8s %8s %7s | %8s %8s %8s %7s\n", "", "", "", "all", "all",
        "all", "all", "one", "one", "one", "one");

    int measured = 0, withinTarget = 0;
    for (const Document &doc : qAsConst(docs)) {
        Figures f;
        QTemporaryDir out;
        for (int r = 0; r < rounds; ++r) {
            // Taking turns, so that drifts of the shared machine hit every side alike.
            if (r % 2 == 0) {
                keepBest(f.readerAll, readThroughReader(doc, doc.pages));
                keepBest(f.directAll, direct.renderPages(doc.path, doc.pages, true));
                keepBest(f.readerOne, readThroughReader(doc, 1));
                keepBest(f.directOne, direct.renderPages(doc.path, 1, true));
            } else {
                keepBest(f.directAll, direct.renderPages(doc.path, doc.pages, true));
                keepBest(f.readerAll, readThroughReader(doc, doc.pages));
                keepBest(f.directOne, direct.renderPages(doc.path, 1, true));
                keepBest(f.readerOne, readThroughReader(doc, 1));
            }
            if (havePdftoppm) {
                keepBest(f.popplerAll, renderWithPdftoppm(doc, doc.pages, out.path()));
                keepBest(f.popplerOne, renderWithPdftoppm(doc, 1, out.path()));
            }
        }
        if (f.readerOne != none && f.directOne != none) {
            ++measured;
            withinTarget += f.readerOne <= 1.25 * f.directOne ? 1 : 0;
        }
        std::printf("%-30s %5d %7lld | %8s %8s %8s %7s | %8s %8s %8s %7s\n",
            qPrintable(doc.name.left(30)), doc.pages, doc.bytes / 1024,
            qPrintable(cell(f.readerAll, doc.pages)), qPrintable(cell(f.directAll, doc.pages)),
            qPrintable(cell(f.popplerAll, doc.pages)), qPrintable(ratio(f.readerAll, f.directAll)),
            qPrintable(cell(f.readerOne, 1)), qPrintable(cell(f.directOne, 1)),
            qPrintable(cell(f.popplerOne, 1)), qPrintable(ratio(f.readerOne, f.directOne)));
        std::fflush(stdout);
    }
    std::printf(
        "\nOne page within 1.25x of direct PDFium: %d of %d documents\n", withinTarget, measured);

    QPointer<VlContentReader> reader = VlContentReader::globalInstance();
    VlContentReader::quit();
    QEventLoop wait;
    QObject::connect(reader.data(), &QObject::destroyed, &wait, &QEventLoop::quit);
    QTimer::singleShot(10000, &wait, &QEventLoop::quit);
    if (reader)
        wait.exec();
    return 0;
}
