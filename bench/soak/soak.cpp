// Drives the content reader as a busy signage player would, for a given time, and checks that
// every request is answered and the cache's byte count stays true.
//
//   soak [SECONDS]        (default 60)
//
// The reader cannot be started again within a process, so each reader life is a child process
// (soak --life SECONDS loop|blocked) that reads from a driving thread and from short-lived host
// threads: thousands of distinct generated images and PDFs, files rewritten while they are
// read, limits raised and lowered, clearAllCache(), pages asked as -1. Lives take turns
// between two hosts: one drives from the main thread's loop and ends with quit() from a host
// thread; the other drives from a worker thread with its own loop while the main thread is
// blocked in QThread::wait(), and ends with quit() from aboutToQuit. The parent adds up the
// lives and prints the figures; it exits 1 when any request was lost, a byte count was wrong,
// quit() did not complete or a life failed (a sanitizer report ends a life with failure).

#include "VlContentCache.h"
#include "VlContentReader.h"

#include <QAtomicInteger>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace Vela;

namespace {

// Threads and resident bytes of this process, from /proc/self/status.
struct ProcessFigures
{
    int threads = 0;
    qint64 rssKiB = 0;
    qint64 peakRssKiB = 0;
};

ProcessFigures processFigures()
{
    ProcessFigures figures;
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return figures;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() < 2)
            continue;
        if (parts[0] == "Threads:")
            figures.threads = parts[1].toInt();
        else if (parts[0] == "VmRSS:")
            figures.rssKiB = parts[1].toLongLong();
        else if (parts[0] == "VmHWM:")
            figures.peakRssKiB = parts[1].toLongLong();
    }
    return figures;
}

class Life : public QObject
{
public:
    Life(int seconds, bool mainBlocked)
        : seconds(seconds)
        , mainBlocked(mainBlocked)
    { }

    int run();

private:
    // Reads for the life's time in the calling thread's loop; true when the cache's count was
    // true at the end.
    bool drive(VlContentReader *reader);
    QString newImage();
    QString newPdf();
    void read(const QString &uri, int page);
    void step();
    void hostThread();
    bool waitFor(const std::function<bool()> &done, int msec);
    bool cacheCountIsTrue() const;

    const int seconds;
    const bool mainBlocked;
    QTemporaryDir dir;
    QRandomGenerator random {QRandomGenerator::securelySeeded()};
    QStringList imageFiles;
    QStringList pdfFiles;
    QStringList pdfSources;
    QAtomicInteger<qint64> requests {0};
    QAtomicInteger<int> hostsRunning {0};
    // Host thread objects not yet deleted: their deletion runs in the driving thread's loop,
    // which must see it through before it ends.
    QAtomicInteger<int> hostObjects {0};
    qint64 answers = 0;
    int peakThreads = 0;
    int files = 0;
};

QString Life::newImage()
{
    const QString path = dir.filePath(QStringLiteral("image-%1.png").arg(files++));
    QImage image(QSize(8 + random.bounded(120), 8 + random.bounded(90)), QImage::Format_ARGB32);
    image.fill(QColor::fromRgb(random.generate()));
    image.save(path);
    return path;
}

QString Life::newPdf()
{
    // A few documents are drawn; the rest are copies under new names, distinct uris alike.
    const QString path = dir.filePath(QStringLiteral("document-%1.pdf").arg(files++));
    if (pdfSources.size() < 12) {
        QPdfWriter writer(path);
        writer.setResolution(24);
        QPainter painter(&writer);
        const int pages = 1 + random.bounded(3);
        for (int page = 0; page < pages; ++page) {
            if (page > 0)
                writer.newPage();
            painter.fillRect(QRect(10, 10, 80, 60), QColor::fromRgb(random.generate()));
        }
        painter.end();
        pdfSources << path;
    } else {
        QFile::copy(pdfSources.at(random.bounded(pdfSources.size())), path);
    }
    return path;
}

void Life::read(const QString &uri, int page)
{
    requests.fetchAndAddOrdered(1);
    VlContentReader::read(uri, page);
}

void Life::step()
{
    const int action = random.bounded(100);
    if (action < 40) {
        imageFiles << newImage();
        read(imageFiles.last(), random.bounded(2));
    } else if (action < 55) {
        pdfFiles << newPdf();
        read(pdfFiles.last(), random.bounded(3) - 1);
    } else if (action < 75 && !imageFiles.isEmpty()) {
        read(imageFiles.at(random.bounded(imageFiles.size())), 0);
    } else if (action < 85 && !pdfFiles.isEmpty()) {
        read(pdfFiles.at(random.bounded(pdfFiles.size())), -1);
    } else if (action < 92 && !imageFiles.isEmpty()) {
        // Rewritten in place, then read at once: the worker may meet it half written.
        const QString path = imageFiles.at(random.bounded(imageFiles.size()));
        QImage image(QSize(16 + random.bounded(64), 16), QImage::Format_RGB32);
        image.fill(QColor::fromRgb(random.generate()));
        image.save(path);
        read(path, 0);
    } else if (action < 97) {
        VlContentReader::setMaximumCacheSize(quint64(64 + random.bounded(4096)) * 1024);
        VlContentReader::setMaximumImageCount(random.bounded(40));
    } else {
        VlContentReader::clearAllCache();
    }
}

void Life::hostThread()
{
    // A host thread that reads a few known and new contents and ends without waiting.
    QStringList uris;
    for (int i = 0; i < 20 && !imageFiles.isEmpty(); ++i)
        uris << imageFiles.at(random.bounded(imageFiles.size()));
    uris << newImage() << newImage();
    imageFiles << uris.mid(uris.size() - 2);
    hostsRunning.fetchAndAddOrdered(1);
    hostObjects.fetchAndAddOrdered(1);
    QThread *thread = QThread::create([this, uris] {
        for (const QString &uri : uris)
            read(uri, 0);
        hostsRunning.fetchAndAddOrdered(-1);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QObject::destroyed, [this] { hostObjects.fetchAndAddOrdered(-1); });
    thread->start();
}

bool Life::waitFor(const std::function<bool()> &done, int msec)
{
    QDeadlineTimer deadline(msec);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return done();
}

bool Life::cacheCountIsTrue() const
{
    VlContentCache *cache = VlContentCache::instance();
    QStringList uris;
    cache->getUriList(&uris);
    quint64 sum = 0;
    for (const QString &uri : uris) {
        const int pages = qMax(1, cache->getContentPageCount(uri));
        for (int page = 0; page < pages; ++page) {
            if (const auto image = cache->getImage(uri, page))
                sum += quint64(image->sizeInBytes());
        }
    }
    if (sum == cache->getCachedSize())
        return true;
    std::fprintf(stderr, "soak: the cache counts %llu bytes, its images hold %llu\n",
        static_cast<unsigned long long>(cache->getCachedSize()),
        static_cast<unsigned long long>(sum));
    return false;
}

bool Life::drive(VlContentReader *reader)
{
    connect(reader, &VlContentReader::readyContent, this, [this] { ++answers; });
    connect(reader, &VlContentReader::failedToRead, this, [this] { ++answers; });
    VlContentReader::setIdleThreadTimeout(300 + random.bounded(700));

    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this,
        [this] { peakThreads = qMax(peakThreads, processFigures().threads); });
    sampler.start(20);
    QTimer driver;
    connect(&driver, &QTimer::timeout, this, [this] {
        for (int i = 0; i < 4; ++i)
            step();
    });
    driver.start(5);
    QTimer hosts;
    connect(&hosts, &QTimer::timeout, this, [this] { hostThread(); });
    hosts.start(400);

    QElapsedTimer clock;
    clock.start();
    waitFor([&] { return clock.elapsed() >= seconds * 1000; }, seconds * 1000 + 1000);
    driver.stop();
    hosts.stop();
    // Host threads still running add their last requests first.
    waitFor(
        [&] {
            return hostsRunning.loadAcquire() == 0 && hostObjects.loadAcquire() == 0
                && answers == requests.loadAcquire();
        },
        120000);
    return cacheCountIsTrue();
}

int Life::run()
{
    if (!dir.isValid())
        return 2;
    // The reader's diagnostics would drown the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    QPointer<VlContentReader> reader = VlContentReader::globalInstance();

    bool countTrue = false;
    bool ended = false;
    if (mainBlocked) {
        // The host reads from a worker thread with its own loop; the main thread runs no
        // event until the host is done, and then quits as a Qt program does.
        QThread *host = QThread::create([&] { countTrue = drive(reader); });
        moveToThread(host);
        host->start();
        host->wait();
        delete host;
        connect(qApp, &QCoreApplication::aboutToQuit, [] { VlContentReader::quit(); });
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        qApp->exec();
        // The reader ends without the main thread's events.
        QDeadlineTimer deadline(60000);
        while (!reader.isNull() && !deadline.hasExpired())
            QThread::msleep(10);
        ended = reader.isNull();
    } else {
        countTrue = drive(reader);
        QThread *quitter = QThread::create([] { VlContentReader::quit(); });
        quitter->start();
        ended = waitFor([&] { return reader.isNull(); }, 60000);
        quitter->wait();
        delete quitter;
    }
    if (!ended)
        std::fprintf(stderr, "soak: quit() did not complete\n");

    const ProcessFigures figures = processFigures();
    std::printf("life %lld %lld %d %lld %lld %d\n", static_cast<long long>(requests.loadAcquire()),
        static_cast<long long>(answers), peakThreads, static_cast<long long>(figures.peakRssKiB),
        static_cast<long long>(figures.rssKiB), countTrue && ended ? 1 : 0);
    std::fflush(stdout);
    return countTrue && ended ? 0 : 1;
}

int runLives(int seconds)
{
    const int lifeSeconds = qBound(5, seconds / 4, 20);
    qint64 requests = 0;
    qint64 answers = 0;
    int peakThreads = 0;
    qint64 peakRss = 0;
    qint64 lastRss = 0;
    int lives = 0;
    int blockedLives = 0;
    bool ok = true;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < qint64(seconds) * 1000) {
        const int remaining = int(seconds - clock.elapsed() / 1000);
        const bool blocked = lives % 2 == 1;
        blockedLives += blocked ? 1 : 0;
        QProcess life;
        life.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        life.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--life"), QString::number(qBound(2, remaining, lifeSeconds)),
                QLatin1String(blocked ? "blocked" : "loop")});
        life.waitForFinished(-1);
        const QList<QByteArray> figures = life.readAllStandardOutput().trimmed().split(' ');
        ++lives;
        if (life.exitStatus() != QProcess::NormalExit || life.exitCode() != 0 || figures.size() != 7
            || figures[0] != "life") {
            std::fprintf(stderr, "soak: life %d failed (exit code %d)\n", lives, life.exitCode());
            ok = false;
        }
        if (figures.size() == 7) {
            requests += figures[1].toLongLong();
            answers += figures[2].toLongLong();
            if (figures[1] != figures[2])
                ok = false;
            peakThreads = qMax(peakThreads, figures[3].toInt());
            peakRss = qMax(peakRss, figures[4].toLongLong());
            lastRss = figures[5].toLongLong();
        }
        if (!ok)
            break;
    }
    std::printf("soak: %d s, %d reader lives (%d with the main thread blocked, quit() from "
                "aboutToQuit)\n",
        seconds, lives, blockedLives);
    std::printf("requests %lld\nanswers %lld\nlost %lld\npeak threads %d\n"
                "peak RSS %.1f MiB\nRSS after last quit %.1f MiB\n",
        static_cast<long long>(requests), static_cast<long long>(answers),
        static_cast<long long>(requests - answers), peakThreads, peakRss / 1024.0,
        lastRss / 1024.0);
    std::printf("%s\n", ok ? "clean" : "FAILED");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    // Content is drawn with Qt; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 4 && arguments[1] == QLatin1String("--life"))
        return Life(arguments[2].toInt(), arguments[3] == QLatin1String("blocked")).run();
    bool ok = true;
    const int seconds = arguments.size() > 1 ? arguments[1].toInt(&ok) : 60;
    if (!ok || seconds < 1) {
        std::fprintf(stderr, "usage: soak [SECONDS]\n");
        return 2;
    }
    return runLives(seconds);
}
