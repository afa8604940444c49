#include "VlToolCommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <memory>

namespace Vela {

namespace {

// The options that QGuiApplication and QApplication remove from the arguments themselves.
bool isQtOption(const QString &name)
{
    static const QStringList names
        = {QStringLiteral("platform"), QStringLiteral("platformpluginpath"),
            QStringLiteral("platformtheme"), QStringLiteral("plugin"),
            QStringLiteral("qmljsdebugger"), QStringLiteral("qwindowgeometry"),
            QStringLiteral("qwindowicon"), QStringLiteral("qwindowtitle"),
            QStringLiteral("reverse"), QStringLiteral("session"), QStringLiteral("display"),
            QStringLiteral("geometry"), QStringLiteral("title"), QStringLiteral("name"),
            QStringLiteral("style"), QStringLiteral("stylesheet"), QStringLiteral("widgetcount"),
            QStringLiteral("nograb"), QStringLiteral("dograb"), QStringLiteral("sync")};
    return names.contains(name);
}

QString verboseOptionName()
{
    return QStringLiteral("verbose");
}

// Without --verbose: the programs report their own failures themselves, on standard error; of
// the messages below them only the critical and fatal ones are worth a user's attention.
void quietMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// With --verbose: everything, after its category, so a reader can tell Qt's words from the
// libraries'.
void verboseMessageHandler(
    QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Q_UNUSED(type);
    const char *category = context.category ? context.category : "default";
    std::fprintf(stderr, "%s: %s\n", category, qPrintable(message));
}

} // namespace

VlToolCommandLine::VlToolCommandLine(QCommandLineParser &parser, int &argc, char **argv)
    : m_parser(parser)
    , m_argc(argc)
    , m_argv(argv)
{
    // "-platform" is one option, as Qt's own options are written, not eight letters.
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_parser.addOption(QCommandLineOption(verboseOptionName(),
        QStringLiteral("Show Qt's and the libraries' own messages, each after its category "
                       "(default: only critical ones).")));
    if (QCoreApplication::applicationVersion().isEmpty())
        QCoreApplication::setApplicationVersion(QStringLiteral(VELA_VERSION));
}

int VlToolCommandLine::answer(QtOptions qtOptions)
{
    QStringList arguments;
    for (int i = 0; i < m_argc; ++i)
        arguments << QString::fromLocal8Bit(m_argv[i]);

    if (!m_parser.parse(arguments)) {
        const QStringList unknown = m_parser.unknownOptionNames();
        bool onlyQtOptions = qtOptions == QtOptionsAccepted && !unknown.isEmpty();
        for (const QString &name : unknown)
            onlyQtOptions = onlyQtOptions && isQtOption(name);
        if (!onlyQtOptions)
            return usageError(m_parser.errorText());
    }
    // Before any application object: Qt's first warnings come from its construction.
    qInstallMessageHandler(verbose() ? verboseMessageHandler : quietMessageHandler);

    const bool help
        = m_parser.isSet(QStringLiteral("help")) || m_parser.isSet(QStringLiteral("help-all"));
    if (!help && !m_parser.isSet(QStringLiteral("version")))
        return Proceed;

    // The usage text names the program from the application's arguments; an application
    // object without a GUI needs no display.
    QCoreApplication application(m_argc, m_argv);
    if (help)
        std::fputs(qPrintable(m_parser.helpText()), stdout);
    else
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
            qPrintable(QCoreApplication::applicationVersion()));
    return Success;
}

int VlToolCommandLine::reread(int positionalCount)
{
    if (!m_parser.parse(QCoreApplication::arguments()))
        return usageError(m_parser.errorText());
    const QStringList positional = m_parser.positionalArguments();
    if (positional.size() > positionalCount)
        return usageError(
            QStringLiteral("unexpected argument %1").arg(positional.at(positionalCount)));
    if (positional.size() < positionalCount)
        return usageError(
            QStringLiteral("%1 argument(s) missing").arg(positionalCount - positional.size()));
    return Proceed;
}

bool VlToolCommandLine::verbose() const
{
    return m_parser.isSet(verboseOptionName());
}

int VlToolCommandLine::usageError(const QString &message) const
{
    std::unique_ptr<QCoreApplication> application;
    if (!QCoreApplication::instance())
        application.reset(new QCoreApplication(m_argc, m_argv));
    std::fprintf(stderr, "%s: %s\n\n%s", qPrintable(QCoreApplication::applicationName()),
        qPrintable(message), qPrintable(m_parser.helpText()));
    return BadArguments;
}

int VlToolCommandLine::checkDisplay(bool offscreenWithout) const
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        if (!qEnvironmentVariableIsEmpty(name))
            return Proceed;
    for (int i = 1; i < m_argc; ++i)
        if (qstrcmp(m_argv[i], "-platform") == 0 || qstrcmp(m_argv[i], "--platform") == 0)
            return Proceed;
    if (offscreenWithout) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return Proceed;
    }
    std::fprintf(stderr,
        "%s: no display found: set DISPLAY (X11) or WAYLAND_DISPLAY to a running session, or "
        "QT_QPA_PLATFORM=offscreen to run without a screen\n",
        qPrintable(QCoreApplication::applicationName()));
    return BadArguments;
#else
    Q_UNUSED(offscreenWithout);
    return Proceed;
#endif
}

} // namespace Vela
