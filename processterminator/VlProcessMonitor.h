#ifndef VELA_VLPROCESSMONITOR_H
#define VELA_VLPROCESSMONITOR_H

#include "VlProcessMonitor_LogFile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QWidget>

class QAbstractButton;
class QFileInfo;
class QTextEdit;
class QToolBar;
class tst_VlProcessMonitor;

namespace Vela {

// The engine's clean-up window. Every engine process registers a PID file in the PID
// directory; once a second this window scans the directory, asks every registered process
// that still runs to end, forces the ones that have not ended after the second duration,
// removes the files of processes that are gone and logs each step in colour.
//
// Everything lives on the GUI thread. A scan never waits for a process: the time a target
// is given to end is measured across scans.
class VlProcessMonitor : public QWidget
{
    Q_OBJECT

public:
    // The organisation-domain segment of the PID directory
    // <temp>/<ORGANISATION_DOMAIN>/Vela/pids; the engine's writers of PID files use the same.
    static const char ORGANISATION_DOMAIN[];

    VlProcessMonitor();
    ~VlProcessMonitor() override;

    // Mirrors every log line from now on, with its time stamp, to the file at path: appended,
    // and created readable by this user alone. Returns false, with the system's reason in
    // errorMessage, when the file cannot be opened; lines are then only shown.
    bool setLogFile(const QString &path, QString *errorMessage = nullptr);
    // The log file's limit (VlProcessMonitor_LogFile::DEFAULT_MAX_BYTES until set).
    void setLogMaxBytes(qint64 bytes);

    // <temp>/<ORGANISATION_DOMAIN>/Vela/pids, the directory watched unless another is set.
    static QString defaultPidDirectory();
    // Watches path instead; like the default it is created when missing, and acted on only
    // while no other user can write it.
    void setPidDirectory(const QString &path);

    // One scan now, for a caller that stopped the timer. True when nothing registered is left
    // running: every file was cleared, and the directory could be read and acted on.
    bool scanOnce();

signals:
    // Every log line as shown, with its time stamp.
    void logged(const QString &line);

public slots:
    void start();
    void stop();

private slots:
    void monitoring();
    void testButtonClicked();

private:
    // Outcome of one PID file in a scan.
    enum PidFileOutcomes {
        NotATarget, // never touched (this program, PID 1, values below 1)
        Cleared, // its process is gone or was never the registered one; the file is removed
        Remaining // its process still runs: being ended, or left alone and reported
    };

    struct Target
    {
        QElapsedTimer asked; // since the termination request
        qint64 startMSecs = -1; // start time of the process that was asked
        bool forced = false;
    };

    void appendLog(const QString &text, int kind);
    void removeFirstLogLine();
    QDir pidDirectory();

    void armScan();
    // One scan of the PID directory without the running-flag check and re-arming of
    // monitoring(), so that a scan can also be run on its own. Returns what scanOnce() does.
    bool scanPidDirectory();
    PidFileOutcomes handlePidFile(const QFileInfo &file, qint64 pid, const QDateTime &stamp,
        qint64 nowMSecs, QHash<qint64, Target> &previous);
    void removePidFile(const QFileInfo &file);

    static bool pidFromFileName(const QString &fileName, qint64 *pid);
    static QDateTime readStamp(const QFileInfo &file);
    static bool isProtectedPid(qint64 pid);

    QTextEdit *m_logView;
    VlProcessMonitor_LogFile m_logFile;
    QString m_pidDirectory; // empty: the default
    bool m_running;
    int m_scanInterval;
    int m_secondDuration;
    QToolBar *m_toolBar;
    QAbstractButton *m_testButton;

    int m_armedScans = 0; // single-shot timers pending; after stop() + start() there are two
    QHash<qint64, Target> m_targets; // processes asked to end, by PID

    friend class ::tst_VlProcessMonitor;
};

} // namespace Vela

#endif
