#include "VlProcessMonitor.h"

#include <VlToolCommandLine.h>

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char *argv[])
{
    using Vela::VlToolCommandLine;
    QApplication::setApplicationName(QStringLiteral("VlProcessTerminator"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Ends the Vela engine processes registered in its PID directory."));
    const QCommandLineOption logFileOption(QStringLiteral("log-file"),
        QStringLiteral("Append every log line, with its time stamp, to FILE too (created "
                       "readable by this user alone); a line that repeats the one before is "
                       "counted, not written again (default: the log is only shown)."),
        QStringLiteral("FILE"));
    const QCommandLineOption logMaxBytesOption(QStringLiteral("log-max-bytes"),
        QStringLiteral("Before the log file would grow past BYTES, it becomes FILE.1 and a new "
                       "FILE is started (default: %1).")
            .arg(Vela::VlProcessMonitor_LogFile::DEFAULT_MAX_BYTES),
        QStringLiteral("BYTES"),
        QString::number(Vela::VlProcessMonitor_LogFile::DEFAULT_MAX_BYTES));
    const QCommandLineOption pidDirOption(QStringLiteral("pid-dir"),
        QStringLiteral("Watch the PID files in DIR (default: %1).")
            .arg(Vela::VlProcessMonitor::defaultPidDirectory()),
        QStringLiteral("DIR"));
    const QCommandLineOption onceOption(QStringLiteral("once"),
        QStringLiteral("Scan once without a window, print the log lines and exit: 0 when "
                       "nothing registered is left running, 1 otherwise (default: scan every "
                       "second until the window is closed)."));
    parser.addOptions({logFileOption, logMaxBytesOption, pidDirOption, onceOption});
    VlToolCommandLine commandLine(parser, argc, argv);
    const int answered = commandLine.answer(VlToolCommandLine::QtOptionsAccepted);
    if (answered != VlToolCommandLine::Proceed)
        return answered;

    bool sizeOk = false;
    const qint64 logMaxBytes = parser.value(logMaxBytesOption).toLongLong(&sizeOk);
    if (!sizeOk || logMaxBytes < 1)
        return commandLine.usageError(
            QStringLiteral("--log-max-bytes wants a number of bytes above 0, not \"%1\"")
                .arg(parser.value(logMaxBytesOption)));
    // A single scan shows no window, so a script needs no display for it.
    const bool once = parser.isSet(onceOption);
    const int display = commandLine.checkDisplay(once);
    if (display != VlToolCommandLine::Proceed)
        return display;

    QApplication application(argc, argv);
    const int reread = commandLine.reread(0);
    if (reread != VlToolCommandLine::Proceed)
        return reread;

    Vela::VlProcessMonitor monitor;
    if (parser.isSet(pidDirOption))
        monitor.setPidDirectory(parser.value(pidDirOption));
    monitor.setLogMaxBytes(logMaxBytes);
    if (parser.isSet(logFileOption)) {
        QString reason;
        if (!monitor.setLogFile(parser.value(logFileOption), &reason)) {
            std::fprintf(stderr, "VlProcessTerminator: cannot open the log file %s: %s\n",
                qPrintable(parser.value(logFileOption)), qPrintable(reason));
            return VlToolCommandLine::BadArguments;
        }
    }
    if (once) {
        monitor.stop();
        QObject::connect(&monitor, &Vela::VlProcessMonitor::logged,
            [](const QString &line) { std::printf("%s\n", qPrintable(line)); });
        return monitor.scanOnce() ? 0 : 1;
    }
    monitor.show();
    return application.exec();
}
