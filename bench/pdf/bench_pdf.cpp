// Rendering cost of VlPdf against the same PDFium entry points called directly, against
// poppler's pdftoppm, and of VlPdfAsync's thread against its synchronous form.
//
//   bench_pdf [--rounds N] [--max-pages N] [extra.pdf ...]
//
// Every page is rendered at its natural size (72 dpi). Each figure is the best of N rounds.

#include <VlPdf.h>
#include <VlPdfAsync.h>

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
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>

using namespace Vela;

namespace {

struct Document
{
    QString name;
    QString path;
    int pages = 0; // pages measured (the first ones of the file)
};

double msSince(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

double renderWithVlPdf(const Document &doc)
{
    VlPdf pdf;
    if (!pdf.open(doc.path, QString()))
        return -1;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < doc.pages; ++i) {
        if (!pdf.render(i, QSize()))
            return -1;
    }
    return msSince(timer);
}

double renderWithPdftoppm(const Document &doc, const QString &outDir)
{
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("pdftoppm"),
        {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-f"), QStringLiteral("1"),
            QStringLiteral("-l"), QString::number(doc.pages), doc.path, outDir + "/page"});
    if (!process.waitForFinished(600000) || process.exitCode() != 0)
        return -1;
    return msSince(timer);
}

// The PDFs of this machine's documentation, at most maxFiles of them.
QList<Document> realDocuments(const QString &scratch, int maxPages, int maxFiles)
{
    QList<Document> docs;
    for (const QString &path : documentationPdfs(scratch)) {
        if (docs.size() >= maxFiles)
            break;
        VlPdf pdf;
        if (!pdf.open(path, QString()) || pdf.pageCount() <= 0)
            continue;
        docs.append({QFileInfo(path).fileName(), path, std::min(pdf.pageCount(), maxPages)});
    }
    return docs;
}

// Pages per second of rendering every page of doc through a VlPdfAsync object.
double asyncPagesPerSecond(VlPdfAsync &pdf, const Document &doc)
{
    QEventLoop loop;
    int done = 0;
    bool failed = false;
    auto onRendered
        = QObject::connect(&pdf, &VlPdfAsync::rendered, &loop, [&](const QString &, int page) {
              pdf.takePageImage(page);
              if (++done == doc.pages)
                  loop.quit();
          });
    auto onFailed = QObject::connect(&pdf, &VlPdfAsync::failedToRender, &loop, [&] {
        failed = true;
        loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < doc.pages; ++i)
        pdf.render(i, QSize());
    if (done < doc.pages && !failed) {
        QTimer::singleShot(600000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const double ms = msSince(timer);
    QObject::disconnect(onRendered);
    QObject::disconnect(onFailed);
    return failed || done < doc.pages ? -1 : doc.pages * 1000.0 / ms;
}

bool openAsync(VlPdfAsync &pdf, const QString &path)
{
    QEventLoop loop;
    bool ok = false;
    QObject::connect(&pdf, &VlPdfAsync::opened, &loop, [&] {
        ok = true;
        loop.quit();
    });
    QObject::connect(&pdf, &VlPdfAsync::failedToOpen, &loop, &QEventLoop::quit);
    pdf.open(path);
    if (!ok && pdf.isRunning()) {
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    // The locker's debug lines would drown the table.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    int rounds = 5;
    int maxPages = 40;
    QStringList extra;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args.at(++i).toInt());
        else if (args.at(i) == QLatin1String("--max-pages") && i + 1 < args.size())
            maxPages = std::max(1, args.at(++i).toInt());
        else
            extra.append(args.at(i));
    }

    QTemporaryDir scratch;
    const QString generated = scratch.filePath(QStringLiteral("generated-20.pdf"));
    if (!writeGeneratedPdf(generated, 20, GeneratedContent::Shapes)) {
        std::fprintf(stderr, "cannot write the generated document\n");
        return 1;
    }
    QList<Document> docs = {{QStringLiteral("generated (20 pages)"), generated, 20}};
    for (const QString &path : qAsConst(extra)) {
        VlPdf pdf;
        if (pdf.open(path, QString()))
            docs.append({QFileInfo(path).fileName(), path, std::min(pdf.pageCount(), maxPages)});
    }
    docs += realDocuments(scratch.path(), maxPages, 6);

    VlPdf probe; // loads PDFium beside this executable
    QLibrary pdfium(QCoreApplication::applicationDirPath() + "/pdfium/libpdfium.so");
    DirectPdfium direct;
    if (!probe.isLibraryLoaded() || !pdfium.load() || !direct.resolve(pdfium)) {
        std::fprintf(stderr, "PDFium not found beside the executable\n");
        return 1;
    }
    const bool havePdftoppm = !QStandardPaths::findExecutable(QStringLiteral("pdftoppm")).isEmpty();

    std::printf("Rendering at natural size, best of %d rounds, ms per page\n\n", rounds);
    std::printf("%-34s %5s %10s %10s %10s %12s %14s\n", "document", "pages", "VlPdf", "direct",
        "pdftoppm", "VlPdf/direct", "VlPdf/pdftoppm");
    double sumVl = 0, sumDirect = 0;
    for (const Document &doc : qAsConst(docs)) {
        double bestVl = std::numeric_limits<double>::max();
        double bestDirect = bestVl;
        double bestPoppler = bestVl;
        QTemporaryDir out;
        renderWithVlPdf(doc); // warm the file cache and PDFium's font cache
        for (int r = 0; r < rounds; ++r) {
            // Taking turns, so that drifts of the machine hit both sides alike.
            double vl, di;
            if (r % 2 == 0) {
                vl = renderWithVlPdf(doc);
                di = direct.renderPages(doc.path, doc.pages, false);
            } else {
                di = direct.renderPages(doc.path, doc.pages, false);
                vl = renderWithVlPdf(doc);
            }
            if (vl >= 0)
                bestVl = std::min(bestVl, vl);
            if (di >= 0)
                bestDirect = std::min(bestDirect, di);
            if (havePdftoppm) {
                const double po = renderWithPdftoppm(doc, out.path());
                if (po >= 0)
                    bestPoppler = std::min(bestPoppler, po);
            }
        }
        if (bestVl == std::numeric_limits<double>::max()
            || bestDirect == std::numeric_limits<double>::max()) {
            std::printf(
                "%-34s %5d  (could not render)\n", qPrintable(doc.name.left(34)), doc.pages);
            continue;
        }
        sumVl += bestVl;
        sumDirect += bestDirect;
        const double vlPage = bestVl / doc.pages;
        const double directPage = bestDirect / doc.pages;
        if (bestPoppler != std::numeric_limits<double>::max()) {
            const double popplerPage = bestPoppler / doc.pages;
            std::printf("%-34s %5d %10.3f %10.3f %10.3f %11.3fx %13.3fx\n",
                qPrintable(doc.name.left(34)), doc.pages, vlPage, directPage, popplerPage,
                vlPage / directPage, vlPage / popplerPage);
        } else {
            std::printf("%-34s %5d %10.3f %10.3f %10s %11.3fx %14s\n",
                qPrintable(doc.name.left(34)), doc.pages, vlPage, directPage, "-",
                vlPage / directPage, "-");
        }
        std::fflush(stdout);
    }
    if (sumDirect > 0)
        std::printf(
            "\nAll documents: VlPdf/direct %.3fx (target at most 1.05x)\n", sumVl / sumDirect);

    // The threaded renderer against its synchronous form, on the generated document.
    const Document &doc = docs.first();
    double bestThread = 0, bestSync = 0;
    {
        VlPdfAsync front;
        QEventLoop started;
        QObject::connect(&front, &VlPdfAsync::threadStarted, &started, &QEventLoop::quit);
        front.startThread();
        started.exec();
        VlPdfAsync worker(nullptr, true);
        if (!openAsync(front, doc.path) || !openAsync(worker, doc.path)) {
            std::fprintf(stderr, "VlPdfAsync cannot open the generated document\n");
            return 1;
        }
        for (int r = 0; r < rounds; ++r) {
            bestThread = std::max(bestThread, asyncPagesPerSecond(front, doc));
            bestSync = std::max(bestSync, asyncPagesPerSecond(worker, doc));
        }
    }
    std::printf(
        "\nVlPdfAsync on %s, pages per second (best of %d)\n", qPrintable(doc.name), rounds);
    std::printf("%-34s %10.1f\n", "through its thread", bestThread);
    std::printf("%-34s %10.1f\n", "synchronous worker", bestSync);
    if (bestSync > 0)
        std::printf("%-34s %10.3fx\n", "thread/synchronous", bestThread / bestSync);
    return 0;
}
