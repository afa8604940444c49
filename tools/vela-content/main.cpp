// vela-content: reads content files through the content reader and saves every page as PNG.
#include "ContentJob.h"

#include <VlContentReader.h>
#include <VlExtension.h>
#include <VlPdfRenderProcesses.h>
#include <VlToolCommandLine.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define VELA_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define VELA_ISATTY(fd) isatty(fd)
#endif

#ifdef __GLIBC__
#include <malloc.h>
#endif

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#endif

using Vela::VlContentReader;
using Vela::VlToolCommandLine;

namespace {

QString systemReason(const QString &path)
{
    QFile probe(path);
    if (probe.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        probe.remove();
        return QCoreApplication::translate("main", "it cannot be created");
    }
    return probe.errorString();
}

// Creates the output folder and makes sure a file can be written there, so that an unusable
// --out fails at once with the system's reason instead of once per page. Empty when usable.
QString prepareOutput(const QString &dir)
{
    if (QDir().mkpath(dir)) {
        QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".vela-content-XXXXXX")));
        return probe.open() ? QString() : probe.errorString();
    }
    // mkpath gives no reason; creating a file in the nearest existing folder above gets the
    // system's own (a file in the way, a folder that cannot be written).
    QFileInfo existing(QDir(dir).absolutePath());
    while (!existing.exists() && !existing.isRoot())
        existing.setFile(existing.path());
    return systemReason(existing.filePath() + QStringLiteral("/.vela-content-probe"));
}

// The bundled samples live beside the installed program, or in the source tree for a build.
QStringList sampleFiles()
{
    const QStringList dirs
        = {QCoreApplication::applicationDirPath() + QStringLiteral("/../" VELA_SAMPLES_INSTALL_DIR),
            QStringLiteral(VELA_SAMPLES_SOURCE_DIR)};
    for (const QString &dir : dirs) {
        QDir samples(dir);
        const QStringList names = samples.entryList(
            {QStringLiteral("*.pdf"), QStringLiteral("*.png")}, QDir::Files, QDir::Name);
        if (!names.isEmpty()) {
            // Named from the working folder when they are below it, as a user would name them.
            QStringList files;
            for (const QString &name : names) {
                const QString path = QDir::cleanPath(samples.absoluteFilePath(name));
                const QString relative = QDir::current().relativeFilePath(path);
                files << (relative.startsWith(QLatin1String("..")) ? path : relative);
            }
            return files;
        }
    }
    return {};
}

#ifdef Q_OS_UNIX
// A file name that is not valid in the locale's encoding does not survive the trip through
// QString; such a file is read through a link with a name that does, in aliases. Returns the
// arguments as text, each such name mapped to its link in links.
QStringList argumentsReadable(
    int argc, char **argv, const QTemporaryDir &aliases, QHash<QString, QString> *links)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QByteArray raw(argv[i]);
        const QString text = QString::fromLocal8Bit(raw);
        arguments << text;
        if (i == 0 || text.toLocal8Bit() == raw || !aliases.isValid() || links->contains(text))
            continue;
        const QString link = aliases.filePath(
            QStringLiteral("%1.%2").arg(links->size()).arg(QFileInfo(text).suffix()));
        if (::symlink(QFileInfo(QFile::decodeName(raw)).isRelative()
                    ? (QDir::currentPath().toLocal8Bit() + '/' + raw).constData()
                    : raw.constData(),
                QFile::encodeName(link).constData())
            == 0)
            links->insert(text, link);
    }
    return arguments;
}

// SIGINT and SIGTERM end the job cleanly: the handler only writes the signal's number to a
// socket, which the event loop reads.
int signalSockets[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = char(number);
    ssize_t written = ::write(signalSockets[0], &byte, 1);
    Q_UNUSED(written);
    // A second one ends the program at once.
    std::signal(number, SIG_DFL);
}

void watchSignals(ContentJob *job)
{
    // A listing piped into head must not end the job when head has seen enough.
    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, job);
    QObject::connect(notifier, &QSocketNotifier::activated, job, [job, notifier] {
        char byte = 0;
        if (::read(signalSockets[1], &byte, 1) == 1) {
            notifier->setEnabled(false);
            job->interrupt(128 + int(byte));
        }
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}
#endif

// A number option given once at most: the value, or an error for usageError.
bool readNumber(const QCommandLineParser &parser, const QCommandLineOption &option, double minimum,
    double *value, QString *error)
{
    const QStringList values = parser.values(option);
    const QString name = QStringLiteral("--") + option.names().constLast();
    if (values.size() > 1) {
        *error = QStringLiteral("%1 is given more than once").arg(name);
        return false;
    }
    bool ok = false;
    *value = values.constFirst().toDouble(&ok);
    if (!ok || *value < minimum || *value > 1e9) {
        *error = minimum > 0
            ? QStringLiteral("%1 takes a positive number").arg(name)
            : QStringLiteral("%1 takes a number from %2 up").arg(name).arg(minimum);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef __GLIBC__
    // Encoding a page takes buffers of a few MiB (filtered rows, deflated bands, the file),
    // allocated and freed for every page. By default glibc gives such blocks back to the
    // system and takes them anew, and memory new to a process costs a fault per 4 KiB when
    // first written: on a virtual machine, more than encoding a text page. Kept and reused
    // instead; the peak stays what the pages in flight need.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
    QCoreApplication::setApplicationName(QStringLiteral("vela-content"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads images and PDF pages through the Vela content reader and writes each page as "
        "PNG.\nPages are written at 72 dpi, one pixel per point, unless an option says "
        "otherwise."));
    VlToolCommandLine commandLine(parser, argc, argv);
    const QCommandLineOption resolutionOption({QStringLiteral("r"), QStringLiteral("resolution")},
        QStringLiteral("Draw PDF pages at DPI dots per inch (default 72: one pixel per point). "
                       "Images keep their size."),
        QStringLiteral("DPI"), QStringLiteral("72"));
    const QCommandLineOption scaleToOption(QStringLiteral("scale-to"),
        QStringLiteral("Make the longest side of every page and image PIXELS long, aspect kept "
                       "(default: natural size)."),
        QStringLiteral("PIXELS"));
    const QCommandLineOption sizeOption(QStringLiteral("size"),
        QStringLiteral("Fit every page and image within WIDTHxHEIGHT pixels, aspect kept "
                       "(default: natural size)."),
        QStringLiteral("WxH"));
    const QCommandLineOption pagesOption(QStringLiteral("pages"),
        QStringLiteral("Read only these pages of each document, one-based: 1-3,7,N (N or -1 is "
                       "the last page, N-2 or -3 two before it; ranges may run downwards). "
                       "Default: every page."),
        QStringLiteral("LIST"));
    const QCommandLineOption pageOption(QStringLiteral("page"),
        QStringLiteral("Read only page N of each document (zero-based; -1 is the last page). "
                       "Default: every page."),
        QStringLiteral("N"));
    const QCommandLineOption outOption(QStringLiteral("out"),
        QStringLiteral("Folder for the PNG files (default vela-out)."), QStringLiteral("DIR"),
        QStringLiteral("vela-out"));
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Name of each PNG in the folder: %d zero-based page, %n one-based page, "
                       "%0Nd and %0Nn zero-padded to N digits, %b base name of the file, %% a "
                       "percent sign (default %b_%d.png)."),
        QStringLiteral("TEMPLATE"), QStringLiteral("%b_%d.png"));
    const QCommandLineOption samplesOption(QStringLiteral("samples"),
        QStringLiteral("Read the bundled samples too (default: only the FILEs named)."));
    const QCommandLineOption maxBytesOption(QStringLiteral("max-cache-bytes"),
        QStringLiteral("Maximum bytes of the image cache (default 104857600)."),
        QStringLiteral("BYTES"));
    const QCommandLineOption maxImagesOption(QStringLiteral("max-images"),
        QStringLiteral("Maximum number of cached images (default 20)."), QStringLiteral("N"));
    const QCommandLineOption minImagesOption(QStringLiteral("min-images"),
        QStringLiteral("Images always kept when the cache evicts for bytes (default 1)."),
        QStringLiteral("N"));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
        QStringLiteral("Write one JSON object per line for each page and failure, then a "
                       "summary object (default: text lines)."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
        QStringLiteral("Write nothing but failures, to standard error (default: a line per "
                       "page and a summary on standard output)."));
    const QCommandLineOption renderProcessesOption(QStringLiteral("render-processes"),
        QStringLiteral("Draw PDF pages in N sandboxed render processes; 0 draws them in this "
                       "process (default: one per core)."),
        QStringLiteral("N"));
    const QCommandLineOption inProcessOption(QStringLiteral("in-process"),
        QStringLiteral("Draw PDF pages in this process (the same as --render-processes 0)."));
    const QCommandLineOption renderTimeoutOption(QStringLiteral("render-timeout"),
        QStringLiteral("Seconds a render process may take for one page before it is killed; 0: "
                       "no limit (default 30)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption renderMemoryOption(QStringLiteral("render-memory"),
        QStringLiteral("Memory each render process may use, in MiB (default 2048)."),
        QStringLiteral("MIB"));
    parser.addOptions({resolutionOption, scaleToOption, sizeOption, pagesOption, pageOption,
        outOption, outputOption, samplesOption, maxBytesOption, maxImagesOption, minImagesOption,
        jsonOption, quietOption, renderProcessesOption, inProcessOption, renderTimeoutOption,
        renderMemoryOption});
    parser.addPositionalArgument(
        QStringLiteral("FILE"), QStringLiteral("Image or PDF files."), QStringLiteral("[FILE...]"));

    const int answered = commandLine.answer(VlToolCommandLine::QtOptionsRefused);
    if (answered != VlToolCommandLine::Proceed)
        return answered;
    if (parser.positionalArguments().isEmpty() && !parser.isSet(samplesOption))
        return commandLine.usageError(
            QStringLiteral("no FILE given (--samples reads the bundled samples)"));

    QCoreApplication app(argc, argv);
    QTemporaryDir aliases;
    ContentJob::Options options;
#ifdef Q_OS_UNIX
    if (!parser.parse(argumentsReadable(argc, argv, aliases, &options.shownNames)))
        return commandLine.usageError(parser.errorText());
    // shownNames holds name -> link so far; the job wants link -> name.
    QHash<QString, QString> links;
    links.swap(options.shownNames);
    for (auto it = links.cbegin(); it != links.cend(); ++it)
        options.shownNames.insert(it.value(), it.key());
#endif

    if (parser.isSet(jsonOption) && parser.isSet(quietOption))
        return commandLine.usageError(QStringLiteral("--json and --quiet exclude each other"));
    for (const QCommandLineOption &option : {pageOption, pagesOption, outputOption, outOption,
             sizeOption, maxBytesOption, maxImagesOption, minImagesOption}) {
        if (parser.values(option).size() > 1)
            return commandLine.usageError(
                QStringLiteral("--%1 is given more than once").arg(option.names().constLast()));
    }
    if (parser.isSet(pageOption) && parser.isSet(pagesOption))
        return commandLine.usageError(QStringLiteral("--page and --pages exclude each other"));
    if (int(parser.isSet(resolutionOption)) + int(parser.isSet(scaleToOption))
            + int(parser.isSet(sizeOption))
        > 1)
        return commandLine.usageError(
            QStringLiteral("--resolution, --scale-to and --size exclude each other"));

    QString error;
    if (parser.isSet(pageOption)) {
        bool ok = false;
        options.page = parser.value(pageOption).toInt(&ok);
        if (!ok || options.page < -1)
            return commandLine.usageError(QStringLiteral("--page takes a number from -1 up"));
        options.pages = ContentJob::Pages::One;
    }
    if (parser.isSet(pagesOption)) {
        error = options.pageList.parse(parser.value(pagesOption));
        if (!error.isEmpty())
            return commandLine.usageError(error);
        options.pages = ContentJob::Pages::List;
    }
    error = options.names.parse(parser.value(outputOption));
    if (!error.isEmpty())
        return commandLine.usageError(error);
    if (!readNumber(parser, resolutionOption, 1, &options.resolution, &error))
        return commandLine.usageError(error);
    if (parser.isSet(scaleToOption)) {
        double pixels = 0;
        if (!readNumber(parser, scaleToOption, 1, &pixels, &error) || pixels > 65535)
            return commandLine.usageError(
                QStringLiteral("--scale-to takes a number of pixels from 1 to 65535"));
        options.fitInto = QSize(int(pixels), int(pixels));
    }
    if (parser.isSet(sizeOption)) {
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"))
                  .match(parser.value(sizeOption));
        options.fitInto = match.hasMatch()
            ? QSize(match.captured(1).toInt(), match.captured(2).toInt())
            : QSize();
        if (options.fitInto.isEmpty() || options.fitInto.width() > 65535
            || options.fitInto.height() > 65535)
            return commandLine.usageError(
                QStringLiteral("--size takes WIDTHxHEIGHT in pixels, e.g. 1920x1080"));
    }
    double maxBytes = 0;
    double maxImages = 0;
    double minImages = 0;
    if (parser.isSet(maxBytesOption)) {
        bool ok = false;
        maxBytes = double(parser.value(maxBytesOption).toULongLong(&ok));
        if (!ok || maxBytes <= 0)
            return commandLine.usageError(
                QStringLiteral("--max-cache-bytes takes a positive number"));
    }
    if (parser.isSet(maxImagesOption)
        && !readNumber(parser, maxImagesOption, 1, &maxImages, &error))
        return commandLine.usageError(error);
    if (parser.isSet(minImagesOption)
        && !readNumber(parser, minImagesOption, 1, &minImages, &error))
        return commandLine.usageError(error);

    // A document that crashes, hangs or exhausts PDFium costs one failed page, not the run.
    double renderProcesses = qMax(1, QThread::idealThreadCount());
    if (parser.isSet(renderProcessesOption)
        && !readNumber(parser, renderProcessesOption, 0, &renderProcesses, &error))
        return commandLine.usageError(error);
    if (parser.isSet(inProcessOption)) {
        if (parser.isSet(renderProcessesOption) && renderProcesses != 0)
            return commandLine.usageError(
                QStringLiteral("--in-process and --render-processes N exclude each other"));
        renderProcesses = 0;
    }
    double renderTimeout = VlContentReader::pdfRenderTimeout() / 1000.0;
    if (parser.isSet(renderTimeoutOption)
        && !readNumber(parser, renderTimeoutOption, 0, &renderTimeout, &error))
        return commandLine.usageError(error);
    double renderMemory = double(VlContentReader::pdfRenderMemoryLimit() >> 20);
    if (parser.isSet(renderMemoryOption)
        && !readNumber(parser, renderMemoryOption, 1, &renderMemory, &error))
        return commandLine.usageError(error);

    const QStringList positional = parser.positionalArguments();
    for (const QString &file : positional)
        options.files << options.shownNames.key(file, file);
    if (parser.isSet(samplesOption)) {
        const QStringList samples = sampleFiles();
        if (samples.isEmpty()) {
            std::fprintf(stderr, "vela-content: no bundled samples found\n");
            return VlToolCommandLine::BadArguments;
        }
        options.files << samples;
    }
    options.outDir = parser.value(outOption);
    const QString unusable = prepareOutput(options.outDir);
    if (!unusable.isEmpty()) {
        std::fprintf(stderr, "vela-content: cannot write into the output folder %s: %s\n",
            qPrintable(QDir::toNativeSeparators(options.outDir)), qPrintable(unusable));
        return VlToolCommandLine::BadArguments;
    }
    if (parser.isSet(jsonOption))
        options.output = ContentJob::Output::Json;
    else if (parser.isSet(quietOption))
        options.output = ContentJob::Output::Quiet;
    // The progress line is written to standard error, so it is that stream whose being a
    // terminal decides; a pipe or a log file gets none.
    options.progress = options.output != ContentJob::Output::Quiet && VELA_ISATTY(fileno(stderr));

    if (parser.isSet(maxBytesOption))
        VlContentReader::setMaximumCacheSize(quint64(maxBytes));
    if (parser.isSet(maxImagesOption))
        VlContentReader::setMaximumImageCount(int(maxImages));
    if (parser.isSet(minImagesOption))
        VlContentReader::setMinimumImageCount(int(minImages));
    VlContentReader::setPdfRenderProcesses(int(renderProcesses));
    VlContentReader::setPdfRenderTimeout(int(qMin(renderTimeout * 1000, 2e9)));
    VlContentReader::setPdfRenderMemoryLimit(quint64(renderMemory) << 20);
    // Started while the documents are measured, rather than when their first page is asked.
    const bool anyPdf
        = std::any_of(options.files.cbegin(), options.files.cend(), [](const QString &file) {
              return Vela::VlExtension().getMediaType(QFileInfo(file).suffix())
                  == Vela::MediaType::pdf;
          });
    if (anyPdf)
        Vela::VlPdfRenderProcesses::startAhead();
    // Documents and drawings are drawn at the size asked, not drawn and then scaled.
    if (options.fitInto.isValid() || !qFuzzyCompare(options.resolution, 72.0))
        VlContentReader::setDrawAtRequestedSize(true);

    ContentJob job(options);
#ifdef Q_OS_UNIX
    watchSignals(&job);
#endif
    QObject::connect(&job, &ContentJob::done, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QTimer::singleShot(0, &job, &ContentJob::start);
    app.exec();

    // quit() hands the teardown to the reader's own thread, which the application object's
    // destructor then joins; what this thread itself left for deletion goes here.
    VlContentReader::quit();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    return job.exitStatus();
}
