#ifndef VELA_VLTOOLCOMMANDLINE_H
#define VELA_VLTOOLCOMMANDLINE_H

#include <QString>

class QCommandLineParser;

namespace Vela {

// The first thing every Vela program does with its arguments. It answers --help, --help-all and
// --version and refuses unknown options before the program makes its application object,
// because a QApplication needs a display just to start and a usage question must not.
//
// It also decides what reaches the terminal of Qt's and the libraries' own messages: without
// --verbose only critical ones (Qt's warnings about a missing runtime folder, a platform
// plugin's limits and the like mean nothing to a user of these programs); with it every
// message, each after its category.
class VlToolCommandLine
{
public:
    enum ExitCodes { Success = 0, BadArguments = 2 };
    // What answer() returns when the program should go on.
    static const int Proceed = -1;

    enum QtOptions {
        QtOptionsRefused, // a program without a GUI: every option is its own
        QtOptionsAccepted // a GUI program: its QApplication takes -platform, -style and the like
    };

    // Adds --help, --version and --verbose to parser. argc and argv must outlive this object.
    VlToolCommandLine(QCommandLineParser &parser, int &argc, char **argv);

    // Reads the arguments and installs the message filter. Returns Proceed, or the status to
    // exit with once the usage, the version or the reason for refusing the arguments is
    // printed. With QtOptionsAccepted the
    // parser is left unparsed when Qt's options are present: read the arguments again from
    // QCoreApplication::arguments() once the application object has removed them.
    int answer(QtOptions qtOptions);

    // Reads the arguments again from the application object, which has removed Qt's own
    // options by now, and wants exactly positionalCount arguments besides the options.
    // Returns Proceed, or BadArguments once the reason is printed.
    int reread(int positionalCount);

    // For a program with a window, before its application object: Qt aborts when it finds no
    // display. Without one (no DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM or -platform on a
    // system that draws through X11 or Wayland) a program that needs no screen, such as one
    // making a screenshot, is switched to the offscreen platform (offscreenWithout); otherwise
    // one line says how to name a display and BadArguments is returned. Returns Proceed when
    // the program can go on.
    int checkDisplay(bool offscreenWithout) const;

    // Prints "<program>: message" and the usage to standard error; returns BadArguments.
    int usageError(const QString &message) const;

    // Whether --verbose was given.
    bool verbose() const;

private:
    QCommandLineParser &m_parser;
    int &m_argc;
    char **m_argv;
};

} // namespace Vela

#endif
