#include "VlProcessMonitor_LogFile.h"

#include "VlProcessMonitor_Process.h"

#include <QCoreApplication>

namespace Vela {

bool VlProcessMonitor_LogFile::open(const QString &path, QString *errorMessage)
{
    m_file.close();
    m_path = path;
    m_lastText.clear();
    m_repeats = 0;
    m_repeatLineStart = -1;
    return VlProcessMonitor_Process::openPrivateAppend(&m_file, path, errorMessage);
}

bool VlProcessMonitor_LogFile::write(
    const QString &stamp, const QString &text, QString *errorMessage)
{
    if (!m_file.isOpen())
        return true;
    const auto line = [&stamp](const QString &body) {
        return QStringLiteral("[%1] %2\n").arg(stamp, body).toUtf8();
    };

    if (!m_lastText.isNull() && text == m_lastText) {
        ++m_repeats;
        const QByteArray count = line(m_repeats == 1
                ? QCoreApplication::translate("VlProcessMonitor", "(repeated 1 time)")
                : QCoreApplication::translate("VlProcessMonitor", "(repeated %1 times)")
                      .arg(m_repeats));
        const qint64 start = m_repeatLineStart >= 0 ? m_repeatLineStart : m_file.size();
        if (start + count.size() <= m_maxBytes) {
            // O_APPEND writes land at the new end.
            if (m_repeatLineStart >= 0 && !m_file.resize(m_repeatLineStart))
                return fail(m_file.errorString(), errorMessage);
            m_repeatLineStart = start;
            return append(count, errorMessage);
        }
        // The count does not fit: the new file starts with the line itself.
    }

    const QByteArray full = line(text);
    if (m_file.size() > 0 && m_file.size() + full.size() > m_maxBytes && !rotate(errorMessage))
        return false;
    m_lastText = text;
    m_repeats = 0;
    m_repeatLineStart = -1;
    return append(full, errorMessage);
}

bool VlProcessMonitor_LogFile::append(const QByteArray &line, QString *errorMessage)
{
    // Flushed line by line: an unattended machine may lose power at any moment.
    if (m_file.write(line) != line.size() || !m_file.flush())
        return fail(m_file.errorString(), errorMessage);
    return true;
}

bool VlProcessMonitor_LogFile::rotate(QString *errorMessage)
{
    m_file.close();
    const QString previous = m_path + QStringLiteral(".1");
    QFile::remove(previous);
    QFile current(m_path);
    if (!current.rename(previous))
        return fail(current.errorString(), errorMessage);
    QString reason;
    if (!VlProcessMonitor_Process::openPrivateAppend(&m_file, m_path, &reason))
        return fail(reason, errorMessage);
    return true;
}

bool VlProcessMonitor_LogFile::fail(const QString &reason, QString *errorMessage)
{
    m_file.close();
    if (errorMessage)
        *errorMessage = reason;
    return false;
}

} // namespace Vela
