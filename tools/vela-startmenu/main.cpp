// vela-startmenu: shows the editor start menu the way the editor hosts it, for looking at
// the artwork, the buttons and the waiting overlay, and for making screenshots.
#include <VlEditorStartMenu.h>
#include <VlToolCommandLine.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QMainWindow>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimer>

namespace {

void logLine(const QString &text)
{
    QTextStream(stdout) << text << Qt::endl;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication::setApplicationName(QStringLiteral("vela-startmenu"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the Vela editor start menu."));
    Vela::VlToolCommandLine commandLine(parser, argc, argv);
    const QCommandLineOption editionOption(QStringLiteral("edition"),
        QStringLiteral("Edition label to show (Standard, "
                       "MultiChannel, Professional)."),
        QStringLiteral("NAME"));
    const QCommandLineOption waitingOption(QStringLiteral("waiting"),
        QStringLiteral("Show the waiting overlay with TEXT."), QStringLiteral("TEXT"));
    const QCommandLineOption screenshotOption(QStringLiteral("screenshot"),
        QStringLiteral("Render the window offscreen to the PNG FILE and exit."),
        QStringLiteral("FILE"));
    const QCommandLineOption sizeOption(QStringLiteral("size"),
        QStringLiteral("Window size, WIDTHxHEIGHT (1280x768)."), QStringLiteral("SIZE"),
        QStringLiteral("1280x768"));
    parser.addOptions({editionOption, waitingOption, screenshotOption, sizeOption});
    const int answered = commandLine.answer(Vela::VlToolCommandLine::QtOptionsAccepted);
    if (answered != Vela::VlToolCommandLine::Proceed)
        return answered;

    const QRegularExpressionMatch sizeMatch
        = QRegularExpression(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"))
              .match(parser.value(sizeOption));
    if (!sizeMatch.hasMatch())
        return commandLine.usageError(QStringLiteral("--size wants WIDTHxHEIGHT, e.g. 1280x768"));
    const QSize windowSize(sizeMatch.captured(1).toInt(), sizeMatch.captured(2).toInt());

    // A screenshot needs no display: render offscreen unless the caller chose a platform.
    if (parser.isSet(screenshotOption) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    const int reread = commandLine.reread(0);
    if (reread != Vela::VlToolCommandLine::Proceed)
        return reread;

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Vela"));

    // The editor's order: parent on the main window, connect the requests, then exec().
    auto *menu = new Vela::VlEditorStartMenu(&window);
    QObject::connect(menu, &Vela::VlEditorStartMenu::requestedToShowStageEditor,
        [] { logLine(QStringLiteral("requested: stage editor")); });
    QObject::connect(menu, &Vela::VlEditorStartMenu::requestedToShowScheduler,
        [] { logLine(QStringLiteral("requested: scheduler")); });
    QObject::connect(menu, &Vela::VlEditorStartMenu::requestedToShowConfiguration,
        [] { logLine(QStringLiteral("requested: configuration")); });
    QObject::connect(menu, &Vela::VlEditorStartMenu::requestedToExit, &app, [] {
        logLine(QStringLiteral("requested: exit"));
        QApplication::quit();
    });
    menu->exec();

    if (parser.isSet(editionOption))
        menu->setEditionText(parser.value(editionOption));
    if (parser.isSet(waitingOption)) {
        menu->setWaitingWidgetLabelText(parser.value(waitingOption));
        menu->setWaitingWidgetVisible(true);
    }

    window.resize(windowSize);
    window.show();

    if (parser.isSet(screenshotOption)) {
        const QString file = parser.value(screenshotOption);
        // Let the deferred size correction after showing run before grabbing.
        QTimer::singleShot(50, &window, [&window, file] {
            const bool saved = window.grab().save(file, "PNG");
            if (!saved)
                QTextStream(stderr) << "vela-startmenu: cannot write " << file << Qt::endl;
            else
                logLine(QStringLiteral("screenshot: %1").arg(file));
            QApplication::exit(saved ? 0 : 1);
        });
    }
    return app.exec();
}
