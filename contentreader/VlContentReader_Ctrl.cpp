#include "VlContentReader_Ctrl.h"

#include "VlContentReader.h"
#include "VlContentReader_Thr.h"

#include <QDeadlineTimer>
#include <QDebug>

namespace Vela {

namespace {

std::atomic<uint> workerStackSize {0};

} // namespace

VlContentReader_Ctrl::VlContentReader_Ctrl(const QString &uri, QObject *parent)
    : QObject(parent)
    , uri(uri)
    , workerThread(this)
    , worker(nullptr)
    , destroying(false)
    , idleTimer(this)
{
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, [this] {
        if (isIdle() && VlContentReader::idleThreadTimeout() > 0)
            emit idleTimedOut(this->uri);
    });

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
    startWorkerThread();
}

VlContentReader_Ctrl::~VlContentReader_Ctrl()
{
    destroying = true;
    workerThread.quit();
    workerThread.wait(QDeadlineTimer(QDeadlineTimer::Forever));
    // A thread that never ran never finished, so the worker's deletion never came.
    if (!workerStarted.load())
        delete worker;
}

void VlContentReader_Ctrl::setWorkerStackSize(uint bytes)
{
    workerStackSize.store(bytes);
}

bool VlContentReader_Ctrl::startWorkerThread()
{
    workerThread.setStackSize(workerStackSize.load());
    workerThread.start(QThread::InheritPriority);
    // A thread that started reports running at once; one that did not (thread or memory
    // limits) never will, so waiting for it would never end.
    if (workerThread.isRunning()) {
        workerStarted.store(true);
        return true;
    }
    qDebug() << "The reader thread of" << uri << "could not be started.";
    return false;
}

void VlContentReader_Ctrl::read(int pageIndex, const QSize &size)
{
    if (!destroying && !workerThread.isRunning() && !startWorkerThread()) {
        // Answered from the event loop, like any other request, never inside the caller's
        // read(), and with the size the worker would have answered with.
        const QString message = tr("The reader thread could not be started.");
        const QSize answered = worker->answerSize(size);
        QMetaObject::invokeMethod(
            this,
            [this, pageIndex, message, answered] {
                emit failedToRead(uri, pageIndex, message, answered);
            },
            Qt::QueuedConnection);
        return;
    }
    ++pending;
    emit s_read(pageIndex, size);
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
    if (--pending == 0) {
        const int timeout = VlContentReader::idleThreadTimeout();
        if (timeout > 0)
            idleTimer.start(timeout);
    }
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
