// vela-startmenu: shows the editor start menu the way the editor hosts it, for looking at
// the artwork, the buttons and the waiting overlay, and for making screenshots.
#include <VlEditorStartMenu.h>
#include <VlToolCommandLine.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QImageWriter>
#include <QMainWindow>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>
#include <QTimer>

namespace {

// The labels the artwork holds, as its group ids "<name>Edition" spell them.
const QStringList EDITIONS
    = {QStringLiteral("Standard"), QStringLiteral("MultiChannel"), QStringLiteral("Professional")};

void logLine(const QString &text)
{
    QTextStream(stdout) << text << Qt::endl;
}

// The image format the file's suffix names; empty for any other suffix.
QByteArray screenshotFormat(const QString &file)
{
    const QString suffix = QFileInfo(file).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return "PNG";
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return "JPEG";
    if (suffix == QLatin1String("bmp"))
        return "BMP";
    return {};
}

// Written under a temporary name and renamed into place, so a failed write leaves no part of a
// picture behind. Returns the system's reason on failure, an empty text on success.
QString saveScreenshot(const QImage &image, const QString &file, const QByteArray &format)
{
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return out.errorString();
    QImageWriter writer(&out, format);
    if (!writer.write(image)) {
        const QString reason
            = out.error() != QFileDevice::NoError ? out.errorString() : writer.errorString();
        out.cancelWriting();
        return reason;
    }
    if (!out.commit())
        return out.errorString();
    return {};
}

// Whether every label fits its button with the window at size: the fonts and the buttons'
// largest sizes follow the window's size, and the layout keeps the window from shrinking
// below its own minimum, which can still be too small for the labels.
bool labelsFitAt(QMainWindow &window, const QSize &size)
{
    window.resize(size);
    // The menu's size correction asks for a new layout, which runs from posted events.
    for (int round = 0; round < 3; ++round)
        QCoreApplication::sendPostedEvents();
    if (window.size() != size)
        return false;
    const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    for (const QPushButton *button : buttons) {
        const QSize wanted = button->sizeHint();
        if (button->width() < wanted.width() || button->height() < wanted.height())
            return false;
    }
    return true;
}

// The smallest size at least as high as size whose width makes the labels fit; size itself
// when they fit there. Wider never fits worse: the buttons may only grow with the window.
QSize smallestSizeForLabels(QMainWindow &window, const QSize &size)
{
    if (labelsFitAt(window, size))
        return size;
    // Nothing is drawn while the sizes are tried: a trial may be far larger than the window.
    window.setUpdatesEnabled(false);
    const int height = qMax(size.height(), window.minimumSize().height());
    // The labels need a width in proportion to the height; this is well beyond it.
    const int widest = qMax(size.width(), 1024) * 64;
    int tooNarrow = 0;
    int wide = qMax(size.width(), 256);
    while (wide < widest && !labelsFitAt(window, QSize(wide, height))) {
        tooNarrow = wide;
        wide = qMin(wide * 2, widest);
    }
    while (wide - tooNarrow > 1) {
        const int middle = tooNarrow + (wide - tooNarrow) / 2;
        (labelsFitAt(window, QSize(middle, height)) ? wide : tooNarrow) = middle;
    }
    window.resize(size);
    window.setUpdatesEnabled(true);
    return QSize(wide, height);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication::setApplicationName(QStringLiteral("vela-startmenu"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the Vela editor start menu."));
    Vela::VlToolCommandLine commandLine(parser, argc, argv);
    const QCommandLineOption editionOption(QStringLiteral("edition"),
        QStringLiteral("Edition label to show: %1, in any case (default: none).")
            .arg(EDITIONS.join(QStringLiteral(", "))),
        QStringLiteral("NAME"));
    const QCommandLineOption waitingOption(QStringLiteral("waiting"),
        QStringLiteral("Show the waiting overlay with TEXT (default: no overlay)."),
        QStringLiteral("TEXT"));
    const QCommandLineOption screenshotOption(QStringLiteral("screenshot"),
        QStringLiteral("Draw the window to FILE and exit, offscreen unless QT_QPA_PLATFORM "
                       "names a platform; .png, .jpg, .jpeg or .bmp (default: show the window "
                       "until it is closed)."),
        QStringLiteral("FILE"));
    const QCommandLineOption sizeOption(QStringLiteral("size"),
        QStringLiteral("Window size, WIDTHxHEIGHT (default: 1280x768)."), QStringLiteral("SIZE"),
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

    QString edition;
    if (parser.isSet(editionOption)) {
        for (const QString &known : EDITIONS)
            if (known.compare(parser.value(editionOption), Qt::CaseInsensitive) == 0)
                edition = known;
        if (edition.isEmpty())
            return commandLine.usageError(
                QStringLiteral("unknown edition \"%1\"; known: %2")
                    .arg(parser.value(editionOption), EDITIONS.join(QStringLiteral(", "))));
    }

    const QString screenshotFile = parser.value(screenshotOption);
    const QByteArray format = screenshotFormat(screenshotFile);
    if (parser.isSet(screenshotOption) && format.isEmpty())
        return commandLine.usageError(
            QStringLiteral("--screenshot writes PNG, JPEG or BMP: name the file .png, .jpg, "
                           ".jpeg or .bmp, not \"%1\"")
                .arg(screenshotFile));

    // A screenshot needs no display: render offscreen unless the caller chose a platform.
    if (parser.isSet(screenshotOption) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int display = commandLine.checkDisplay(false);
    if (display != Vela::VlToolCommandLine::Proceed)
        return display;

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

    if (!edition.isEmpty())
        menu->setEditionText(edition);
    if (parser.isSet(waitingOption)) {
        menu->setWaitingWidgetLabelText(parser.value(waitingOption));
        menu->setWaitingWidgetVisible(true);
    }

    window.resize(windowSize);
    window.show();

    // A window too small for the labels clips them. Measured once the deferred size correction
    // after showing has run.
    const bool screenshot = parser.isSet(screenshotOption);
    QTimer::singleShot(50, &window, [&, screenshot] {
        const QSize least = smallestSizeForLabels(window, windowSize);
        if (least != windowSize) {
            QApplication::exit(commandLine.usageError(
                QStringLiteral("--size %1x%2 is below %3x%4, the smallest size the labels fit")
                    .arg(windowSize.width())
                    .arg(windowSize.height())
                    .arg(least.width())
                    .arg(least.height())));
            return;
        }
        if (!screenshot)
            return;
        const QString failure = saveScreenshot(window.grab().toImage(), screenshotFile, format);
        if (!failure.isEmpty())
            QTextStream(stderr) << "vela-startmenu: cannot write " << screenshotFile << ": "
                                << failure << Qt::endl;
        else
            logLine(QStringLiteral("screenshot: %1").arg(screenshotFile));
        QApplication::exit(failure.isEmpty() ? 0 : 1);
    });
    return app.exec();
}
