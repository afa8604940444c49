#ifndef VELA_VLCONTENTREADER_CTRL_H
#define VELA_VLCONTENTREADER_CTRL_H

#include <QElapsedTimer>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>

namespace Vela {

class VlContentReader_Thr;

// The controller of one content uri. It lives in one thread that runs an event loop (the
// facade moves it to its home thread) and owns a thread in which its worker lives. Requests
// go to the worker and results come back by queued connections only; read() may be called
// from any thread.
class VlContentReader_Ctrl : public QObject
{
    Q_OBJECT
public:
    VlContentReader_Ctrl(const QString &uri, QObject *parent);
    // Stops the worker thread and waits for it, also for a read step under way.
    ~VlContentReader_Ctrl() override;

    VlContentReader_Ctrl(const VlContentReader_Ctrl &) = delete;
    VlContentReader_Ctrl &operator=(const VlContentReader_Ctrl &) = delete;

    // Every request is answered: by the worker, or with failedToRead when its thread cannot be
    // started (the next request tries to start it again).
    void read(int pageIndex, const QSize &size);
    // True when every request sent to the worker has finished.
    bool isIdle() const { return pending.load() == 0; }

    // The stack size of worker threads started from now on; 0 for the platform's default.
    static void setWorkerStackSize(uint bytes);

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
    // The worker has had nothing to do for VlContentReader::idleThreadTimeout() ms.
    void idleTimedOut(const QString &uri);

private slots:
    void on_readyContent(const QString &uri, int pageIndex, const QSize &requestSize);
    void on_failedToRead(
        const QString &uri, int pageIndex, const QString &message, const QSize &requestSize);
    void on_aborted(const QString &uri, int pageIndex, const QSize &requestSize);
    void on_finished(const QString &uri, int pageIndex, const QSize &requestSize);
    void on_allFinished();
    void on_gotContentPageCount(const QString &uri, int pageCount);

private:
    bool startWorkerThread();

    QString uri;
    // A child, so that it moves with the controller and keeps no tie to the caller's thread.
    QThread workerThread;
    VlContentReader_Thr *worker;
    bool destroying;
    // Requests sent to the worker whose finished has not come back yet.
    std::atomic<int> pending {0};
    std::atomic<bool> workerStarted {false};
    // A child, so that it moves with the controller to its home thread.
    QTimer idleTimer;
};

} // namespace Vela

#endif
