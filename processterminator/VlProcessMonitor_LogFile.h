#ifndef VELA_VLPROCESSMONITOR_LOGFILE_H
#define VELA_VLPROCESSMONITOR_LOGFILE_H

#include <QFile>
#include <QString>

namespace Vela {

// The file copy of the monitor's log, kept small enough for a kiosk that runs for months. A
// line that repeats the one before is not written again: the line after it,
// "(repeated N times)", is rewritten in place as N grows, so the file is right whenever the
// program is stopped. When the next line would take the file past its byte limit, the file
// becomes FILE.1 (replacing an older one) and a new FILE is started.
class VlProcessMonitor_LogFile
{
public:
    static const qint64 DEFAULT_MAX_BYTES = 1024 * 1024;

    VlProcessMonitor_LogFile() = default;
    VlProcessMonitor_LogFile(const VlProcessMonitor_LogFile &) = delete;
    VlProcessMonitor_LogFile &operator=(const VlProcessMonitor_LogFile &) = delete;

    // Opens path for appending, created readable by this user alone. On failure the file
    // stays closed and errorMessage gets the system's reason.
    bool open(const QString &path, QString *errorMessage);
    bool isOpen() const { return m_file.isOpen(); }
    QString fileName() const { return m_path; }
    // A single line longer than the limit is still written, alone in its file.
    void setMaxBytes(qint64 bytes) { m_maxBytes = qMax<qint64>(1, bytes); }

    // Writes "[stamp] text", or counts it as a repeat. On failure the file is closed and
    // errorMessage gets the system's reason.
    bool write(const QString &stamp, const QString &text, QString *errorMessage);

private:
    bool append(const QByteArray &line, QString *errorMessage);
    bool rotate(QString *errorMessage);
    bool fail(const QString &reason, QString *errorMessage);

    QFile m_file;
    QString m_path;
    qint64 m_maxBytes = DEFAULT_MAX_BYTES;
    QString m_lastText; // of the last line written in full
    int m_repeats = 0;
    qint64 m_repeatLineStart = -1; // where "(repeated N times)" starts; -1 while there is none
};

} // namespace Vela

#endif
