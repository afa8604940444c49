#include "VlProcessMonitor.h"

#include "VlProcessMonitor_Process.h"

#include <QBoxLayout>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

// The resource file is compiled into a static library, whose object nothing else refers to.
static void initProcessTerminatorResources()
{
    Q_INIT_RESOURCE(processterminator);
}

namespace Vela {

namespace {

const char STAMP_FORMAT[] = "yyyy-MM-dd hh:mm:ss.zzz";
// A process that started later than this after its file's time stamp holds a recycled PID.
// The start time read from the system is only exact to about a second.
const qint64 STAMP_TOLERANCE_MSECS = 2000;
// A target whose start time moved by more than this since it was asked has been replaced by
// another process under the same PID.
const qint64 RESTART_TOLERANCE_MSECS = 1000;
const int MAX_LOG_BLOCKS = 32000;
// The folders that pidDirectory() adds to the temporary directory.
const int PID_DIRECTORY_DEPTH = 3;

QString stampText(const QDateTime &time)
{
    return time.toString(QLatin1String(STAMP_FORMAT));
}

QString stampText(qint64 msecsSinceEpoch)
{
    return stampText(QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch));
}

} // namespace

// The user-visible texts below go through QCoreApplication::translate() with the context
// "VlProcessMonitor" that the translation files use; tr() would take "Vela::VlProcessMonitor"
// from the namespace.

const char VlProcessMonitor::ORGANISATION_DOMAIN[] = "vela-signage.example";

VlProcessMonitor::VlProcessMonitor()
    : QWidget(nullptr)
    , m_logView(nullptr)
    , m_running(false)
    , m_scanInterval(1000)
    , m_secondDuration(5000)
    , m_toolBar(nullptr)
    , m_testButton(nullptr)
{
    initProcessTerminatorResources();
    resize(480, 320);

    auto *layout = new QBoxLayout(QBoxLayout::TopToBottom);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_toolBar = new QToolBar;
    auto *button = new QToolButton;
    button->setToolTip(
        QCoreApplication::translate("VlProcessMonitor", "Remove the first log line"));
    m_testButton = button;
    m_testButton->setIcon(QIcon(QStringLiteral(":images/ika_32.png")));
    m_toolBar->addWidget(button);
    connect(m_testButton, &QAbstractButton::clicked, this, &VlProcessMonitor::testButtonClicked);
    layout->addWidget(m_toolBar);

    m_logView = new QTextEdit;
    layout->addWidget(m_logView);
    setLayout(layout);

    QPalette palette = m_logView->palette();
    palette.setBrush(QPalette::All, QPalette::Base, QBrush(Qt::black, Qt::SolidPattern));
    palette.setBrush(QPalette::All, QPalette::Text, QBrush(Qt::green, Qt::SolidPattern));
    m_logView->setPalette(palette);

    setWindowTitle(QCoreApplication::translate("VlProcessMonitor", "Vela Process Terminator"));

    // Near the lower-right corner, clear of a task bar; the screen origin is deliberately not
    // added.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect screenGeometry = screen->geometry();
        move(screenGeometry.width() - width() - 10, screenGeometry.height() - height() - 72);
    }

    if (!m_running) {
        m_running = true;
        armScan();
    }
}

VlProcessMonitor::~VlProcessMonitor()
{
    m_running = false;
}

void VlProcessMonitor::start()
{
    if (m_running)
        return;
    m_running = true;
    armScan();
}

void VlProcessMonitor::stop()
{
    m_running = false;
}

void VlProcessMonitor::armScan()
{
    ++m_armedScans;
    QTimer::singleShot(m_scanInterval, this, [this] {
        --m_armedScans;
        monitoring();
    });
}

void VlProcessMonitor::monitoring()
{
    if (!m_running)
        return;
    scanPidDirectory();
    if (m_running)
        armScan();
}

void VlProcessMonitor::testButtonClicked()
{
    removeFirstLogLine();
}

QString VlProcessMonitor::defaultPidDirectory()
{
    QDir dir(QStandardPaths::writableLocation(QStandardPaths::TempLocation));
    for (const QString &segment :
        {QString::fromLatin1(ORGANISATION_DOMAIN), QStringLiteral("Vela"), QStringLiteral("pids")})
        dir.setPath(dir.absoluteFilePath(segment));
    return dir.absolutePath();
}

void VlProcessMonitor::setPidDirectory(const QString &path)
{
    m_pidDirectory = QDir(path).absolutePath();
}

bool VlProcessMonitor::scanOnce()
{
    return scanPidDirectory();
}

QDir VlProcessMonitor::pidDirectory()
{
    const QDir dir(m_pidDirectory.isEmpty() ? defaultPidDirectory() : m_pidDirectory);
    if (!dir.exists())
        QDir().mkpath(dir.absolutePath());
    return dir;
}

bool VlProcessMonitor::pidFromFileName(const QString &fileName, qint64 *pid)
{
    bool ok = false;
    *pid = fileName.toLongLong(&ok, 10);
    return ok;
}

QDateTime VlProcessMonitor::readStamp(const QFileInfo &file)
{
    QDateTime stamp;
    QFile pidFile(file.absoluteFilePath());
    if (pidFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        char buffer[24] = {};
        const qint64 length = pidFile.readLine(buffer, sizeof(buffer));
        pidFile.close();
        if (length > 0) {
            const QString line = QString::fromLatin1(buffer, int(length));
            stamp = QDateTime::fromString(line, QLatin1String(STAMP_FORMAT));
        }
    }
    if (stamp.isNull() || !stamp.isValid())
        stamp = file.lastModified();
    return stamp;
}

bool VlProcessMonitor::isProtectedPid(qint64 pid)
{
    return pid <= 1 || pid == QCoreApplication::applicationPid();
}

bool VlProcessMonitor::scanPidDirectory()
{
    const QDir dir = pidDirectory();
    if (!dir.exists()) {
        appendLog(QCoreApplication::translate(
                      "VlProcessMonitor", "PID directory is not exists. -->\"%1\"")
                      .arg(dir.absolutePath()),
            2);
        return false;
    }

    // The folders above it count too, up to the temporary directory: whoever may rename
    // entries there could put a directory of their own in its place. A directory the user
    // named is the user's choice, up to itself.
    const int depth = m_pidDirectory.isEmpty() ? PID_DIRECTORY_DEPTH : 1;
    bool privateDirectory = true;
    QString folder = dir.absolutePath();
    for (int level = 0; level < depth && privateDirectory; ++level) {
        privateDirectory = VlProcessMonitor_Process::isPrivateDirectory(folder);
        folder = QFileInfo(folder).absolutePath();
    }
    if (!privateDirectory) {
        appendLog(QCoreApplication::translate("VlProcessMonitor",
                      "PID directory can be written by other users; its PID files are left "
                      "alone. -->\"%1\"")
                      .arg(dir.absolutePath()),
            2);
        return false;
    }

    // Targets whose file has gone since the last scan are forgotten with the swap.
    QHash<qint64, Target> previous;
    previous.swap(m_targets);
    int remaining = 0;
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Time);
    for (const QFileInfo &entry : entries) {
        qint64 pid = 0;
        if (!pidFromFileName(entry.fileName(), &pid))
            continue;
        const QDateTime stamp = readStamp(entry);
        const qint64 now = QDateTime::currentDateTime().toMSecsSinceEpoch();
        if (handlePidFile(entry, pid, stamp, now, previous) == Remaining)
            ++remaining;
    }

    if (remaining == 0)
        appendLog(QCoreApplication::translate("VlProcessMonitor", "There is no target PID."), 0);
    return remaining == 0;
}

VlProcessMonitor::PidFileOutcomes VlProcessMonitor::handlePidFile(const QFileInfo &file, qint64 pid,
    const QDateTime &stamp, qint64 nowMSecs, QHash<qint64, Target> &previous)
{
    using Process = VlProcessMonitor_Process;
    if (isProtectedPid(pid))
        return NotATarget;

    const qint64 stampMSecs = stamp.toMSecsSinceEpoch();
    const QString registered = stampText(stamp);
    const Process::Info info = Process::inspect(pid);

    // A target already asked in an earlier scan (or by an earlier file of this scan, when two
    // names give the same PID) keeps its request time.
    const bool wasAsked = previous.contains(pid) || m_targets.contains(pid);
    Target target = m_targets.contains(pid) ? m_targets.value(pid) : previous.take(pid);

    const bool startKnown = info.state != Process::Gone && info.startMSecs >= 0;
    const bool startedAfterStamp
        = startKnown && info.startMSecs > stampMSecs + STAMP_TOLERANCE_MSECS;
    const bool replacedSinceAsked = startKnown && wasAsked && target.startMSecs >= 0
        && qAbs(info.startMSecs - target.startMSecs) > RESTART_TOLERANCE_MSECS;

    if (info.state == Process::Gone || replacedSinceAsked || (startedAfterStamp && wasAsked)) {
        m_targets.remove(pid);
        if (wasAsked)
            appendLog(QCoreApplication::translate(
                          "VlProcessMonitor", "Process %1 has ended; removed its PID file.")
                          .arg(pid),
                0);
        else
            appendLog(QCoreApplication::translate("VlProcessMonitor",
                          "Process %1 (registered %2) is not running; removed its PID file.")
                          .arg(pid)
                          .arg(registered),
                1);
        removePidFile(file);
        return Cleared;
    }

    if (startedAfterStamp) {
        appendLog(QCoreApplication::translate("VlProcessMonitor",
                      "Process %1 started at %2, after its registration at %3: the PID was "
                      "reused. Removed the PID file and left the process alone.")
                      .arg(pid)
                      .arg(stampText(info.startMSecs), registered),
            1);
        removePidFile(file);
        return Cleared;
    }

    if (info.state == Process::NotPermitted) {
        appendLog(QCoreApplication::translate("VlProcessMonitor",
                      "Process %1 (registered %2) may not be signalled; left it alone.")
                      .arg(pid)
                      .arg(registered),
            2);
        return Remaining;
    }

    // Without the start time a recycled PID cannot be told from the registered process.
    if (info.startMSecs < 0) {
        appendLog(QCoreApplication::translate(
                      "VlProcessMonitor", "Cannot tell when process %1 started; left it alone.")
                      .arg(pid),
            2);
        return Remaining;
    }

    // A time stamp from the future would make any process under this PID look registered.
    if (stampMSecs > nowMSecs + STAMP_TOLERANCE_MSECS) {
        appendLog(QCoreApplication::translate("VlProcessMonitor",
                      "Process %1 has a registration time in the future (%2); left it alone.")
                      .arg(pid)
                      .arg(registered),
            2);
        return Remaining;
    }

    auto reportFailure = [this, pid, &registered](Process::Results result) {
        if (result == Process::Denied)
            appendLog(QCoreApplication::translate("VlProcessMonitor",
                          "Process %1 (registered %2) may not be signalled; left it alone.")
                          .arg(pid)
                          .arg(registered),
                2);
        else if (result == Process::Failed)
            appendLog(QCoreApplication::translate("VlProcessMonitor", "Cannot signal process %1.")
                          .arg(pid),
                2);
        // NoProcess: it has just ended; the next scan removes its file.
    };

    if (!wasAsked) {
        const Process::Results result = Process::askToEnd(pid);
        if (result != Process::Sent) {
            reportFailure(result);
            return Remaining;
        }
        target.asked.start();
        target.startMSecs = info.startMSecs;
        m_targets.insert(pid, target);
        appendLog(QCoreApplication::translate(
                      "VlProcessMonitor", "Asked process %1 (registered %2) to end.")
                      .arg(pid)
                      .arg(registered),
            1);
        return Remaining;
    }

    m_targets.insert(pid, target);
    if (!target.forced && target.asked.elapsed() >= m_secondDuration) {
        const Process::Results result = Process::forceEnd(pid);
        if (result != Process::Sent) {
            reportFailure(result);
            return Remaining;
        }
        m_targets[pid].forced = true;
        appendLog(QCoreApplication::translate("VlProcessMonitor",
                      "Process %1 (registered %2) did not end within %3 ms; killed it.")
                      .arg(pid)
                      .arg(registered)
                      .arg(m_secondDuration),
            2);
        return Remaining;
    }

    appendLog(
        QCoreApplication::translate("VlProcessMonitor", "Waiting for process %1 to end.").arg(pid),
        1);
    return Remaining;
}

void VlProcessMonitor::removePidFile(const QFileInfo &file)
{
    if (!QFile::remove(file.absoluteFilePath()) && file.exists())
        appendLog(
            QCoreApplication::translate("VlProcessMonitor", "Cannot remove the PID file \"%1\".")
                .arg(file.absoluteFilePath()),
            2);
}

void VlProcessMonitor::appendLog(const QString &text, int kind)
{
    if (m_logView->document()->blockCount() > MAX_LOG_BLOCKS)
        removeFirstLogLine();

    QColor colour = Qt::green;
    if (kind == 1)
        colour = Qt::yellow;
    else if (kind == 2)
        colour = Qt::red;
    m_logView->setTextColor(colour);

    const QString time = QDateTime::currentDateTime().toString(QLatin1String(STAMP_FORMAT));
    const QString line = QStringLiteral("[%1] %2").arg(time).arg(text);
    m_logView->append(line);
    emit logged(line);

    QString reason;
    // A failed write has closed the file, so the line about it goes to the window alone.
    if (!m_logFile.write(time, text, &reason))
        appendLog(QCoreApplication::translate("VlProcessMonitor",
                      "Cannot write to the log file \"%1\" (%2); the log is only shown here "
                      "from now on.")
                      .arg(m_logFile.fileName(), reason),
            2);
}

bool VlProcessMonitor::setLogFile(const QString &path, QString *errorMessage)
{
    return m_logFile.open(path, errorMessage);
}

void VlProcessMonitor::setLogMaxBytes(qint64 bytes)
{
    m_logFile.setMaxBytes(bytes);
}

void VlProcessMonitor::removeFirstLogLine()
{
    // The whole first paragraph goes, not only its first visual line: a wrapped log line
    // would otherwise lose its start and leave the rest behind, and the block count that
    // bounds the log would not shrink.
    QTextCursor cursor(m_logView->document());
    cursor.movePosition(QTextCursor::Start, QTextCursor::MoveAnchor);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.deleteChar();

    QTextCursor viewCursor = m_logView->textCursor();
    viewCursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
    m_logView->setTextCursor(viewCursor);
}

} // namespace Vela
