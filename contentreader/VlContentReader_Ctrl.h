#ifndef VELA_VLCONTENTREADER_CTRL_H
#define VELA_VLCONTENTREADER_CTRL_H

#include <QObject>
#include <QSize>
#include <QString>
#include <QThread>

namespace Vela {

class VlContentReader_Thr;

// The controller of one content uri. It lives in the thread that created it (the facade's
// caller, which must run an event loop) and owns a thread in which its worker lives. Requests
// go to the worker and results come back by queued connections only; the controller takes no
// lock of its own.
class VlContentReader_Ctrl : public QObject
{
    Q_OBJECT
public:
    VlContentReader_Ctrl(const QString &uri, QObject *parent);
    // Stops the worker thread and waits for it, also for a read step under way.
    ~VlContentReader_Ctrl() override;

    VlContentReader_Ctrl(const VlContentReader_Ctrl &) = delete;
    VlContentReader_Ctrl &operator=(const VlContentReader_Ctrl &) = delete;

    void read(int pageIndex, const QSize &size);

signals:
    void s_read(int pageIndex = 0, const QSize &size = QSize());
    void s_abort();
    void readyContent(const QString &uri, int pageIndex, const QSize &requestedSize = QSize());
    void failedToRead(const QString &uri, int pageIndex, const QString &message,
        const QSize &requestedSize = QSize());
    void aborted(const QString &uri, int pageIndex, const QSize &requestedSize = QSize());
    void finished(const QString &uri, int pageIndex, const QSize &requestedSize = QSize());
    void allFinished(const QString &uri);
    void gotContentPageCount(const QString &uri, int pageCount);

private slots:
    void on_readyContent(const QString &uri, int pageIndex, const QSize &requestSize);
    void on_failedToRead(
        const QString &uri, int pageIndex, const QString &message, const QSize &requestSize);
    void on_aborted(const QString &uri, int pageIndex, const QSize &requestSize);
    void on_finished(const QString &uri, int pageIndex, const QSize &requestSize);
    void on_allFinished();
    void on_gotContentPageCount(const QString &uri, int pageCount);

private:
    QString uri;
    QThread workerThread;
    VlContentReader_Thr *worker;
    bool destroying;
};

} // namespace Vela

#endif
