// The main job, vela-content, against poppler's pdftoppm on the same files in one run. Both run
// as whole processes, start-up included, and write one PNG file per page at 72 dpi (the
// natural size that vela-content reads at): every page of each document, and then one page
// alone (-f N -l N against --page N-1). pdftoppm writing PPM, which skips the PNG encoding,
// is a second column, labelled. Then the peak resident memory of vela-content on a 40-page and
// a 400-page generated document of the same kind of pages.
//
//   bench_vela_content [--rounds N] [--quick] [--isolation] [extra.pdf ...]
//
// --isolation measures instead vela-content drawing through render processes (its default,
// one per core) against --in-process, on the same documents: every page, the middle page
// alone, and the peak resident memory of vela-content itself (sampled every millisecond from
// /proc, as its own peak from wait4 would include the render processes it reaped).
//
// Each time is the best of N rounds, the sides taking turns; a document whose pdftoppm run
// takes longer than 20 s is measured once. A single page takes tens of milliseconds, which a
// busy moment of the machine easily doubles, so it gets five times the rounds.

#include "BenchDocuments.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr double none = std::numeric_limits<double>::max();

struct Outcome
{
    double ms = none;
    double cpuMs = none; // user and system time of the process
    long peakKiB = 0;
    long ownPeakKiB = 0; // of the process alone, when sampled
};

// The peak resident size of a running process so far (VmHWM), 0 when it is gone.
long residentPeakKiB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = status.readAll();
    const int at = text.indexOf("VmHWM:");
    return at < 0
        ? 0
        : text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLong();
}

// Runs program with args, its output discarded, into a fresh folder that is removed after.
// Started with fork and exec rather than QProcess: wait4 reports the child's own peak resident
// size, which only the parent that reaps it can learn.
Outcome runProcess(const QString &program, QStringList args, bool sampleOwnPeak = false)
{
    QTemporaryDir out;
    for (QString &arg : args)
        arg.replace(QLatin1String("{out}"), out.path());
    std::vector<QByteArray> storage {QFile::encodeName(program)};
    for (const QString &arg : qAsConst(args))
        storage.push_back(QFile::encodeName(arg));
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Outcome outcome;
    if (pid < 0)
        return outcome;
    int status = 0;
    struct rusage usage
    { };
    if (sampleOwnPeak) {
        pid_t done = 0;
        while ((done = wait4(pid, &status, WNOHANG, &usage)) == 0) {
            outcome.ownPeakKiB = std::max(outcome.ownPeakKiB, residentPeakKiB(pid));
            usleep(1000);
        }
        if (done != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return Outcome();
    } else if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)
        || WEXITSTATUS(status) != 0) {
        return outcome;
    }
    outcome.ms = timer.nsecsElapsed() / 1e6;
    const auto ms = [](const timeval &t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    outcome.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    outcome.peakKiB = usage.ru_maxrss; // KiB on Linux
    return outcome;
}

int pageCount(const QString &pdfinfo, const QString &path)
{
    if (pdfinfo.isEmpty())
        return 0;
    QProcess process;
    process.start(pdfinfo, {path});
    if (!process.waitForFinished(60000))
        return 0;
    const QRegularExpressionMatch match = QRegularExpression(
        QStringLiteral("^Pages:\\s+(\\d+)"), QRegularExpression::MultilineOption)
                                              .match(QString::fromLocal8Bit(process.readAll()));
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

struct Document
{
    QString name;
    QString path;
    int pages = 0;
};

struct Best
{
    double ms = none;
    double cpuMs = none;
};

struct Figures
{
    Best velaAll, pngAll, ppmAll;
    Best velaOne, pngOne, ppmOne;
};

void keepBest(Best &best, const Outcome &outcome)
{
    best.ms = std::min(best.ms, outcome.ms);
    best.cpuMs = std::min(best.cpuMs, outcome.cpuMs);
}

QString cell(double ms)
{
    return ms == none ? QStringLiteral("-") : QString::number(ms, 'f', 0);
}

double ratio(double slow, double fast)
{
    return slow == none || fast == none ? 0 : slow / fast;
}

QString ratioCell(double value)
{
    return value == 0 ? QStringLiteral("-") : QString::number(value, 'f', 2) + 'x';
}

// vela-content through its render processes (the default) against --in-process.
int compareIsolation(
    const QString &vela, const QList<Document> &docs, int rounds, int onePageRounds)
{
    std::printf("vela-content with render processes (one per core) against --in-process, whole "
                "processes, ms,\nbest of %d rounds (%d for one page); peak: vela-content's own "
                "peak resident memory, all pages, KiB\n\n",
        rounds, onePageRounds);
    std::printf("%-30s %5s | %8s %8s %7s | %8s %8s %7s | %8s %8s\n", "document", "pages", "procs",
        "in-proc", "speedup", "procs", "in-proc", "ratio", "procs", "in-proc");
    std::printf("%-30s %5s | %8s %8s %7s | %8s %8s %7s | %8s %8s\n", "", "", "all", "all", "",
        "one", "one", "", "peak", "peak");
    for (const Document &doc : docs) {
        const QString page = QString::number(doc.pages / 2);
        const QStringList all {"--quiet", "--out", "{out}", doc.path};
        const QStringList one {"--quiet", "--page", page, "--out", "{out}", doc.path};
        const QStringList inProcess {"--in-process"};
        Best procsAll, inAll, procsOne, inOne;
        long procsPeak = 0, inPeak = 0;
        for (int r = 0; r < rounds; ++r) {
            // Taking turns, so that drifts of the shared machine hit both sides alike.
            for (int side = 0; side < 2; ++side) {
                const bool inProc = (side + r) % 2 == 1;
                const Outcome outcome = runProcess(vela, inProc ? inProcess + all : all, true);
                keepBest(inProc ? inAll : procsAll, outcome);
                long &peak = inProc ? inPeak : procsPeak;
                peak = std::max(peak, outcome.ownPeakKiB);
            }
        }
        for (int r = 0; r < onePageRounds; ++r) {
            for (int side = 0; side < 2; ++side) {
                const bool inProc = (side + r) % 2 == 1;
                keepBest(
                    inProc ? inOne : procsOne, runProcess(vela, inProc ? inProcess + one : one));
            }
        }
        std::printf("%-30s %5d | %8s %8s %7s | %8s %8s %7s | %8ld %8ld\n",
            qPrintable(doc.name.left(30)), doc.pages, qPrintable(cell(procsAll.ms)),
            qPrintable(cell(inAll.ms)), qPrintable(ratioCell(ratio(inAll.ms, procsAll.ms))),
            qPrintable(cell(procsOne.ms)), qPrintable(cell(inOne.ms)),
            qPrintable(ratioCell(ratio(procsOne.ms, inOne.ms))), procsPeak, inPeak);
        std::fflush(stdout);
    }
    std::printf("\ntargets: all pages >= 1.6x (photos) and >= 1.3x (manuals) faster; one page "
                "<= 1.15x the in-process time; peak no more than in-process\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv); // QPdfWriter draws the generated documents

    int rounds = 3;
    bool quick = false;
    bool isolation = false;
    QStringList extra;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args.at(++i).toInt());
        else if (args.at(i) == QLatin1String("--quick"))
            quick = true, rounds = 1;
        else if (args.at(i) == QLatin1String("--isolation"))
            isolation = true;
        else
            extra.append(args.at(i));
    }

    const QString vela
        = QCoreApplication::applicationDirPath() + QStringLiteral("/" VELA_CONTENT_FILE_NAME);
    if (!QFileInfo(vela).isExecutable()) {
        std::fprintf(stderr, "vela-content not found beside this program\n");
        return 1;
    }
    const QString pdftoppm = QStandardPaths::findExecutable(QStringLiteral("pdftoppm"));
    const QString pdfinfo = QStandardPaths::findExecutable(QStringLiteral("pdfinfo"));

    QTemporaryDir scratch;
    const QString shapes = scratch.filePath(QStringLiteral("generated-20.pdf"));
    const QString photos = scratch.filePath(QStringLiteral("generated-photos-20.pdf"));
    const QString short40 = scratch.filePath(QStringLiteral("generated-40.pdf"));
    const QString long400 = scratch.filePath(QStringLiteral("generated-400.pdf"));
    if (!writeGeneratedPdf(shapes, 20, GeneratedContent::Shapes)
        || !writeGeneratedPdf(photos, 20, GeneratedContent::Photos)
        || !writeGeneratedPdf(short40, 40, GeneratedContent::Shapes)
        || !writeGeneratedPdf(long400, 400, GeneratedContent::Shapes)) {
        std::fprintf(stderr, "cannot write the generated documents\n");
        return 1;
    }
    QList<Document> docs {{QStringLiteral("generated (20 pages)"), shapes, 20},
        {QStringLiteral("generated, photos (20 pages)"), photos, 20}};
    QStringList files = extra;
    if (!quick)
        files += documentationPdfs(scratch.path());
    for (const QString &path : qAsConst(files)) {
        const int pages = pageCount(pdfinfo, path);
        if (pages > 0)
            docs.append({QFileInfo(path).fileName(), path, pages});
    }

    const int onePageRounds = 5 * rounds;
    if (isolation)
        return compareIsolation(vela, docs, rounds, onePageRounds);
    std::printf("vela-content against pdftoppm -r 72, whole processes, ms, best of %d rounds "
                "(%d for one page)\n",
        rounds, onePageRounds);
    std::printf("all: every page to PNG files; one: the middle page alone (-f N -l N against "
                "--page N-1);\nppm: pdftoppm writing PPM instead of PNG, for reference; cpu "
                "ratio: processor time (user + system)\nof pdftoppm PNG against vela-content, "
                "all pages, which a busy machine does not skew\n\n");
    std::printf("%-30s %5s | %8s %8s %7s %8s %7s | %8s %8s %7s %8s\n", "document", "pages", "vela",
        "pdftoppm", "ratio", "pdftoppm", "cpu", "vela", "pdftoppm", "ratio", "pdftoppm");
    std::printf("%-30s %5s | %8s %8s %7s %8s %7s | %8s %8s %7s %8s\n", "", "", "all", "png all",
        "all", "ppm all", "ratio", "one", "png one", "one", "ppm one");

    int met = 0, compared = 0;
    for (const Document &doc : qAsConst(docs)) {
        const QString middle = QString::number(doc.pages / 2 + 1);
        const QStringList velaAll {"--quiet", "--out", "{out}", doc.path};
        const QStringList velaOne {
            "--quiet", "--page", QString::number(doc.pages / 2), "--out", "{out}", doc.path};
        const QStringList pngAll {"-r", "72", "-png", doc.path, "{out}/page"};
        const QStringList ppmAll {"-r", "72", doc.path, "{out}/page"};
        const QStringList pngOne {
            "-r", "72", "-png", "-f", middle, "-l", middle, doc.path, "{out}/page"};
        const QStringList ppmOne {"-r", "72", "-f", middle, "-l", middle, doc.path, "{out}/page"};

        // One comparison: vela-content, then pdftoppm writing PNG and PPM, or the other way
        // round, so that drifts of the shared machine hit both sides alike.
        auto measure = [&](bool velaFirst, const QStringList &velaArgs, Best &velaBest,
                           const QStringList &pngArgs, Best &pngBest, const QStringList &ppmArgs,
                           Best &ppmBest) {
            if (velaFirst)
                keepBest(velaBest, runProcess(vela, velaArgs));
            if (!pdftoppm.isEmpty()) {
                keepBest(pngBest, runProcess(pdftoppm, pngArgs));
                keepBest(ppmBest, runProcess(pdftoppm, ppmArgs));
            }
            if (!velaFirst)
                keepBest(velaBest, runProcess(vela, velaArgs));
        };
        Figures f;
        for (int r = 0; r < rounds; ++r) {
            measure(r % 2 == 0, velaAll, f.velaAll, pngAll, f.pngAll, ppmAll, f.ppmAll);
            if (f.pngAll.ms != none && f.pngAll.ms > 20000)
                break;
        }
        for (int r = 0; r < onePageRounds; ++r)
            measure(r % 2 == 0, velaOne, f.velaOne, pngOne, f.pngOne, ppmOne, f.ppmOne);
        const double all = ratio(f.pngAll.ms, f.velaAll.ms);
        const double one = ratio(f.pngOne.ms, f.velaOne.ms);
        const double cpu = ratio(f.pngAll.cpuMs, f.velaAll.cpuMs);
        if (all > 0 && one > 0) {
            ++compared;
            met += all >= 6 && one >= 2;
        }
        std::printf("%-30s %5d | %8s %8s %7s %8s %7s | %8s %8s %7s %8s\n",
            qPrintable(doc.name.left(30)), doc.pages, qPrintable(cell(f.velaAll.ms)),
            qPrintable(cell(f.pngAll.ms)), qPrintable(ratioCell(all)),
            qPrintable(cell(f.ppmAll.ms)), qPrintable(ratioCell(cpu)),
            qPrintable(cell(f.velaOne.ms)), qPrintable(cell(f.pngOne.ms)),
            qPrintable(ratioCell(one)), qPrintable(cell(f.ppmOne.ms)));
        std::fflush(stdout);
    }
    if (pdftoppm.isEmpty())
        std::printf("\npdftoppm not found: nothing to compare with\n");
    else
        std::printf("\ntargets (all pages >= 6x, one page >= 2x against pdftoppm PNG) met on %d "
                    "of %d documents\n",
            met, compared);

    // Peak memory: the largest of the rounds, default limits.
    long peak40 = 0, peak400 = 0;
    for (int r = 0; r < rounds; ++r) {
        peak40 = std::max(peak40, runProcess(vela, {"--quiet", "--out", "{out}", short40}).peakKiB);
        peak400
            = std::max(peak400, runProcess(vela, {"--quiet", "--out", "{out}", long400}).peakKiB);
    }
    std::printf("\nvela-content peak resident memory, generated pages, default limits\n");
    std::printf("40 pages: %ld KiB, 400 pages: %ld KiB, ratio %.2f (target <= 1.25)\n", peak40,
        peak400, peak40 > 0 ? double(peak400) / peak40 : 0.0);
    return 0;
}
