#include "VlProcessMonitor.h"

#include <VlToolCommandLine.h>

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication::setApplicationName(QStringLiteral("VlProcessTerminator"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Ends the Vela engine processes registered in its PID directory."));
    const QCommandLineOption logFileOption(QStringLiteral("log-file"),
        QStringLiteral("Append every log line, with its time stamp, to FILE too (created "
                       "readable by this user alone)."),
        QStringLiteral("FILE"));
    parser.addOption(logFileOption);
    Vela::VlToolCommandLine commandLine(parser, argc, argv);
    const int answered = commandLine.answer(Vela::VlToolCommandLine::QtOptionsAccepted);
    if (answered != Vela::VlToolCommandLine::Proceed)
        return answered;

    int result = 0;
    {
        QApplication application(argc, argv);
        const int reread = commandLine.reread(0);
        if (reread != Vela::VlToolCommandLine::Proceed)
            return reread;

        Vela::VlProcessMonitor monitor;
        if (parser.isSet(logFileOption)) {
            QString reason;
            if (!monitor.setLogFile(parser.value(logFileOption), &reason)) {
                std::fprintf(stderr, "VlProcessTerminator: cannot open the log file %s: %s\n",
                    qPrintable(parser.value(logFileOption)), qPrintable(reason));
                return Vela::VlToolCommandLine::BadArguments;
            }
        }
        monitor.show();
        result = application.exec();
    }
    return result;
}
