// vela-content: reads content files through the content reader and saves every page as PNG.
#include "ContentJob.h"

#include <VlContentReader.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTimer>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define VELA_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define VELA_ISATTY(fd) isatty(fd)
#endif

using Vela::VlContentReader;

namespace {

enum ExitCode { Success = 0, SomeFailed = 1, BadArguments = 2 };

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

// The libraries write their diagnostics (for example one line per freed PDF buffer) as debug
// messages; a command-line tool keeps standard error for the failures it reports.
void quietDebugHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

int usageError(const QCommandLineParser &parser, const QString &message)
{
    std::fprintf(
        stderr, "vela-content: %s\n\n%s", qPrintable(message), qPrintable(parser.helpText()));
    return BadArguments;
}

// The bundled samples live beside the installed program, or in the source tree for a build.
QStringList sampleFiles()
{
    const QStringList dirs
        = {QCoreApplication::applicationDirPath() + QStringLiteral("/../share/vela/samples"),
            QStringLiteral(VELA_SAMPLES_SOURCE_DIR)};
    for (const QString &dir : dirs) {
        QDir samples(dir);
        const QStringList names = samples.entryList(
            {QStringLiteral("*.pdf"), QStringLiteral("*.png")}, QDir::Files, QDir::Name);
        if (!names.isEmpty()) {
            QStringList files;
            for (const QString &name : names)
                files << QDir::cleanPath(samples.absoluteFilePath(name));
            return files;
        }
    }
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vela-content"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads images and PDF pages through the Vela content reader and writes each page as "
        "PNG.\nWithout FILE arguments the bundled samples are read."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption pageOption(QStringLiteral("page"),
        QStringLiteral("Read only page N of each document (zero-based; -1 is the last page). "
                       "Default: every page."),
        QStringLiteral("N"));
    const QCommandLineOption outOption(QStringLiteral("out"),
        QStringLiteral("Folder for the PNG files (default ./vela-out)."), QStringLiteral("DIR"),
        QStringLiteral("vela-out"));
    const QCommandLineOption maxBytesOption(QStringLiteral("max-cache-bytes"),
        QStringLiteral("Maximum bytes of the image cache."), QStringLiteral("BYTES"));
    const QCommandLineOption maxImagesOption(QStringLiteral("max-images"),
        QStringLiteral("Maximum number of cached images."), QStringLiteral("N"));
    const QCommandLineOption minImagesOption(QStringLiteral("min-images"),
        QStringLiteral("Images always kept when the cache evicts for bytes."), QStringLiteral("N"));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
        QStringLiteral("Write one JSON object per line for each page and failure, then a "
                       "summary object."));
    const QCommandLineOption quietOption(
        QStringLiteral("quiet"), QStringLiteral("Write nothing but failures (to standard error)."));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Show the libraries' debug messages."));
    parser.addOptions({pageOption, outOption, maxBytesOption, maxImagesOption, minImagesOption,
        jsonOption, quietOption, verboseOption});
    parser.addPositionalArgument(
        QStringLiteral("FILE"), QStringLiteral("Image or PDF files."), QStringLiteral("[FILE...]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Success;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("vela-content %s\n", VELA_VERSION);
        return Success;
    }
    if (parser.isSet(jsonOption) && parser.isSet(quietOption))
        return usageError(parser, QStringLiteral("--json and --quiet exclude each other"));

    if (!parser.isSet(verboseOption))
        qInstallMessageHandler(quietDebugHandler);

    ContentJob::Options options;
    if (parser.isSet(pageOption)) {
        bool ok = false;
        options.page = parser.value(pageOption).toInt(&ok);
        if (!ok || options.page < -1)
            return usageError(parser, QStringLiteral("--page takes a number from -1 up"));
        options.allPages = false;
    }
    bool ok = true;
    quint64 maxBytes = 0;
    int maxImages = 0;
    int minImages = 0;
    if (parser.isSet(maxBytesOption)) {
        maxBytes = parser.value(maxBytesOption).toULongLong(&ok);
        if (!ok || maxBytes == 0)
            return usageError(parser, QStringLiteral("--max-cache-bytes takes a positive number"));
    }
    if (parser.isSet(maxImagesOption)) {
        maxImages = parser.value(maxImagesOption).toInt(&ok);
        if (!ok || maxImages < 1)
            return usageError(parser, QStringLiteral("--max-images takes a positive number"));
    }
    if (parser.isSet(minImagesOption)) {
        minImages = parser.value(minImagesOption).toInt(&ok);
        if (!ok || minImages < 1)
            return usageError(parser, QStringLiteral("--min-images takes a positive number"));
    }

    options.files = parser.positionalArguments();
    if (options.files.isEmpty()) {
        options.files = sampleFiles();
        if (options.files.isEmpty()) {
            std::fprintf(stderr, "vela-content: no FILE given and no bundled samples found\n");
            return BadArguments;
        }
    }
    options.outDir = parser.value(outOption);
    const QString unusable = prepareOutput(options.outDir);
    if (!unusable.isEmpty()) {
        std::fprintf(stderr, "vela-content: cannot write into the output folder %s: %s\n",
            qPrintable(QDir::toNativeSeparators(options.outDir)), qPrintable(unusable));
        return BadArguments;
    }
    if (parser.isSet(jsonOption))
        options.output = ContentJob::Output::Json;
    else if (parser.isSet(quietOption))
        options.output = ContentJob::Output::Quiet;
    // The progress line is written to standard error, so it is that stream whose being a
    // terminal decides; a pipe or a log file gets none.
    options.progress = options.output != ContentJob::Output::Quiet && VELA_ISATTY(fileno(stderr));

    if (parser.isSet(maxBytesOption))
        VlContentReader::setMaximumCacheSize(maxBytes);
    if (parser.isSet(maxImagesOption))
        VlContentReader::setMaximumImageCount(maxImages);
    if (parser.isSet(minImagesOption))
        VlContentReader::setMinimumImageCount(minImages);

    ContentJob job(options);
    QObject::connect(&job, &ContentJob::done, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QTimer::singleShot(0, &job, &ContentJob::start);
    app.exec();

    // quit() only schedules the deletions; running them here joins every worker thread
    // before the application object goes away.
    VlContentReader::quit();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    return job.failures() == 0 ? Success : SomeFailed;
}
