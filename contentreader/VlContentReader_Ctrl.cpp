#include "VlContentReader_Ctrl.h"

#include "VlContentReader_Thr.h"

#include <QDeadlineTimer>
#include <QTimer>

namespace Vela {

VlContentReader_Ctrl::VlContentReader_Ctrl(const QString &uri, QObject *parent)
    : QObject(parent)
    , uri(uri)
    , workerThread(nullptr)
    , worker(nullptr)
    , destroying(false)
{
    worker = new VlContentReader_Thr(uri, nullptr);

    connect(this, &VlContentReader_Ctrl::s_read, worker, &VlContentReader_Thr::read,
        Qt::QueuedConnection);
    connect(this, &VlContentReader_Ctrl::s_abort, worker, &VlContentReader_Thr::abort,
        Qt::QueuedConnection);
    connect(worker, &VlContentReader_Thr::readyContent, this,
        &VlContentReader_Ctrl::on_readyContent, Qt::QueuedConnection);
    connect(worker, &VlContentReader_Thr::failedToRead, this,
        &VlContentReader_Ctrl::on_failedToRead, Qt::QueuedConnection);
    connect(worker, &VlContentReader_Thr::aborted, this, &VlContentReader_Ctrl::on_aborted,
        Qt::QueuedConnection);
    connect(worker, &VlContentReader_Thr::finished, this, &VlContentReader_Ctrl::on_finished,
        Qt::QueuedConnection);
    connect(worker, &VlContentReader_Thr::allFinished, this, &VlContentReader_Ctrl::on_allFinished,
        Qt::QueuedConnection);
    connect(worker, &VlContentReader_Thr::gotContentPageCount, this,
        &VlContentReader_Ctrl::on_gotContentPageCount, Qt::QueuedConnection);
    connect(&workerThread, &QThread::finished, worker, &QObject::deleteLater);

    worker->moveToThread(&workerThread);
    workerThread.start(QThread::InheritPriority);
}

VlContentReader_Ctrl::~VlContentReader_Ctrl()
{
    destroying = true;
    workerThread.quit();
    workerThread.wait(QDeadlineTimer(QDeadlineTimer::Forever));
}

void VlContentReader_Ctrl::read(int pageIndex, const QSize &size)
{
    if (workerThread.isRunning() || destroying) {
        emit s_read(pageIndex, size);
        return;
    }
    // The worker's thread is still starting: the request is offered again from this
    // thread's event loop until it runs.
    QTimer::singleShot(
        1, Qt::PreciseTimer, this, [this, pageIndex, size] { read(pageIndex, size); });
}

void VlContentReader_Ctrl::on_readyContent(
    const QString &uri, int pageIndex, const QSize &requestSize)
{
    emit readyContent(uri, pageIndex, requestSize);
}

void VlContentReader_Ctrl::on_failedToRead(
    const QString &uri, int pageIndex, const QString &message, const QSize &requestSize)
{
    emit failedToRead(uri, pageIndex, message, requestSize);
}

void VlContentReader_Ctrl::on_aborted(const QString &uri, int pageIndex, const QSize &requestSize)
{
    emit aborted(uri, pageIndex, requestSize);
}

void VlContentReader_Ctrl::on_finished(const QString &uri, int pageIndex, const QSize &requestSize)
{
    emit finished(uri, pageIndex, requestSize);
}

void VlContentReader_Ctrl::on_allFinished()
{
    emit allFinished(uri);
}

void VlContentReader_Ctrl::on_gotContentPageCount(const QString &uri, int pageCount)
{
    emit gotContentPageCount(uri, pageCount);
}

} // namespace Vela
