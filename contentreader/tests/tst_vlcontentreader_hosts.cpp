#include <VlContentReader.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QImage>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

using namespace Vela;

// Hosts that treat their threads in unusual ways, each in a process of its own (the reader
// lives once per process, and only one application object can be made): this test runs itself
// as "--host NAME FOLDER" and checks that the host was served and quit() completed. A
// sanitizer report fails the host's process.

namespace {

constexpr int imageCount = 8;
constexpr int imageSide = 100;
constexpr quint64 imageBytes = imageSide * imageSide * 4;

QString imageFile(const QString &folder, int index)
{
    return QDir(folder).filePath(QStringLiteral("image-%1.png").arg(index));
}

// The calling process's threads; -1 where they cannot be counted.
int threadCount()
{
#ifdef Q_OS_LINUX
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
#else
    return -1;
#endif
}

bool failed(const char *what)
{
    std::fprintf(stderr, "host: %s\n", what);
    return false;
}

// Polls, with events of the calling thread run or not.
bool waitUntil(const std::function<bool()> &done, bool runEvents = false, int msec = 60000)
{
    QDeadlineTimer deadline(msec);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        if (runEvents) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        } else
            QThread::msleep(5);
    }
    return true;
}

// quit(), then the reader and every thread it started gone, without the calling thread's
// events, which a host that is shutting down may no longer run.
bool quitCompletes(const QPointer<VlContentReader> &reader, int threadsBefore)
{
    VlContentReader::quit();
    if (!waitUntil([&] { return reader.isNull(); }))
        return failed("the reader was not deleted after quit()");
    if (!waitUntil([&] { return threadCount() <= threadsBefore; }))
        return failed("a thread of the reader is still running after quit()");
    return true;
}

// The main thread waits in QThread::wait() while a worker thread with its own event loop
// reads; the answers reach it, one uri's in the order asked, and the cache still evicts.
bool mainThreadBlocked(int argc, char **argv, const QString &folder)
{
    QCoreApplication app(argc, argv);
    const int threadsBefore = threadCount();
    QPointer<VlContentReader> reader = VlContentReader::globalInstance();
    bool served = false;
    QScopedPointer<QThread> host(QThread::create([&] {
        VlContentReader::setMaximumCacheSize(3 * imageBytes + 1);
        QEventLoop loop;
        QObject receiver;
        QStringList answers;
        const int expected = imageCount + 3;
        QObject::connect(reader, &VlContentReader::readyContent, &receiver,
            [&](const QString &uri, int pageIndex) {
                answers << QStringLiteral("%1 %2").arg(QFileInfo(uri).fileName()).arg(pageIndex);
                if (answers.size() == expected)
                    loop.quit();
            });
        for (int i = 0; i < imageCount; ++i)
            VlContentReader::read(imageFile(folder, i));
        for (int page = 1; page <= 3; ++page)
            VlContentReader::read(imageFile(folder, 0), page);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        const QStringList firstImage = answers.filter(QStringLiteral("image-0.png"));
        served = answers.size() == expected
            && firstImage
                == QStringList({"image-0.png 0", "image-0.png 1", "image-0.png 2", "image-0.png 3"})
            && waitUntil([] { return VlContentReader::getCachedSize() <= 3 * imageBytes; });
    }));
    host->start();
    host->wait();
    if (!served)
        return failed("answers or eviction missing while the main thread was blocked");
    return quitCompletes(reader, threadsBefore);
}

// The first call of the process comes from a plain thread, before or after the application
// object exists; the main thread then runs no events while the content is read.
bool firstCallFromPlainThread(int argc, char **argv, const QString &folder, bool beforeApplication)
{
    QScopedPointer<QCoreApplication> app;
    if (!beforeApplication)
        app.reset(new QCoreApplication(argc, argv));
    const QString first = imageFile(folder, 0);
    std::thread caller([&] { VlContentReader::read(first); });
    caller.join();
    if (beforeApplication)
        app.reset(new QCoreApplication(argc, argv));
    if (!waitUntil([&] { return VlContentReader::getImage(first) != nullptr; }))
        return failed("the first call's content was never read");

    // Later reads answer a receiver in the main thread too.
    QPointer<VlContentReader> reader = VlContentReader::globalInstance();
    QEventLoop loop;
    bool answered = false;
    QObject::connect(reader, &VlContentReader::readyContent, &loop, [&] {
        answered = true;
        loop.quit();
    });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    VlContentReader::read(imageFile(folder, 1));
    loop.exec();
    if (!answered)
        return failed("a read from the main thread was not answered");
    VlContentReader::quit();
    if (!waitUntil([&] { return reader.isNull(); }))
        return failed("the reader was not deleted after quit()");
    return true;
}

// The usual shutdown of a Qt program: quit() from aboutToQuit, with reads still under way,
// and main() returning after exec().
bool quitFromAboutToQuit(int argc, char **argv, const QString &folder)
{
    QCoreApplication app(argc, argv);
    const int threadsBefore = threadCount();
    QPointer<VlContentReader> reader = VlContentReader::globalInstance();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { VlContentReader::quit(); });
    int answers = 0;
    QObject::connect(reader, &VlContentReader::readyContent, &app, [&] {
        if (++answers == 1)
            QCoreApplication::quit();
    });
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < imageCount; ++i)
            VlContentReader::read(imageFile(folder, i), round);
    }
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    app.exec();
    if (answers == 0)
        return failed("no answer before the application quit");
    if (!waitUntil([&] { return reader.isNull(); }))
        return failed("the reader was not deleted after quit() from aboutToQuit");
    if (!waitUntil([&] { return threadCount() <= threadsBefore; }))
        return failed("a thread of the reader is still running after exec() returned");
    return true;
}

// Many threads read and ask the cache while another calls quit(): no call may touch the reader
// or the cache after their deletion (the sanitizer build sees it).
bool quitDuringCalls(int argc, char **argv, const QString &folder)
{
    QCoreApplication app(argc, argv);
    QPointer<VlContentReader> reader = VlContentReader::globalInstance();
    std::atomic<bool> stop {false};
    std::atomic<int> calls {0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int n = t; !stop.load(); ++n) {
                const QString file = imageFile(folder, n % imageCount);
                switch (n % 5) {
                case 0:
                    VlContentReader::read(file, n % 3);
                    break;
                case 1:
                    VlContentReader::getImage(file);
                    VlContentReader::getImageLarge(file, 0, QSize(1, 1));
                    break;
                case 2:
                    VlContentReader::getCachedSize();
                    VlContentReader::getContentPageCount(file);
                    break;
                case 3:
                    VlContentReader::setMaximumImageCount(4 + n % 8);
                    VlContentReader::getMaximumCacheSize();
                    break;
                default:
                    VlContentReader::globalInstance();
                    break;
                }
                calls.fetch_add(1);
            }
        });
    }
    // The application thread's events run, so that a teardown that needed them would happen
    // while the callers are busy.
    bool ok = waitUntil([&] { return calls.load() > 4000; }, true);
    std::thread quitter([] { VlContentReader::quit(); });
    quitter.join();
    ok = ok && waitUntil([&] { return reader.isNull(); }, true);
    const int callsAtEnd = calls.load();
    ok = ok && waitUntil([&] { return calls.load() > callsAtEnd + 4000; }, true);
    stop.store(true);
    for (std::thread &caller : callers)
        caller.join();
    return ok || failed("the reader did not end while other threads called it");
}

int runHost(int argc, char **argv)
{
    const QByteArray name = argv[2];
    const QString folder = QString::fromLocal8Bit(argv[3]);
    bool ok = false;
    if (name == "main-thread-blocked")
        ok = mainThreadBlocked(argc, argv, folder);
    else if (name == "first-call-before-application")
        ok = firstCallFromPlainThread(argc, argv, folder, true);
    else if (name == "first-call-after-application")
        ok = firstCallFromPlainThread(argc, argv, folder, false);
    else if (name == "quit-from-about-to-quit")
        ok = quitFromAboutToQuit(argc, argv, folder);
    else if (name == "quit-during-calls")
        ok = quitDuringCalls(argc, argv, folder);
    else
        failed("unknown host");
    return ok ? 0 : 1;
}

} // namespace

class tst_VlContentReaderHosts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hostServedAndQuitCompletes_data();
    void hostServedAndQuitCompletes();

private:
    QTemporaryDir dir;
};

void tst_VlContentReaderHosts::initTestCase()
{
    QVERIFY(dir.isValid());
    for (int i = 0; i < imageCount; ++i) {
        QImage image(imageSide, imageSide, QImage::Format_ARGB32);
        image.fill(QColor::fromHsv(i * 40, 200, 200));
        QVERIFY(image.save(imageFile(dir.path(), i)));
    }
}

void tst_VlContentReaderHosts::hostServedAndQuitCompletes_data()
{
    QTest::addColumn<QString>("host");
    for (const char *host : {"main-thread-blocked", "first-call-before-application",
             "first-call-after-application", "quit-from-about-to-quit", "quit-during-calls"})
        QTest::newRow(host) << QString::fromLatin1(host);
}

void tst_VlContentReaderHosts::hostServedAndQuitCompletes()
{
    QFETCH(QString, host);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QCoreApplication::applicationFilePath(), {"--host", host, dir.path()});
    QVERIFY(process.waitForFinished(180000));
    const QByteArray output = process.readAll();
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
        output.constData());
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--host") == 0)
        return runHost(argc, argv);
    QCoreApplication app(argc, argv);
    tst_VlContentReaderHosts test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vlcontentreader_hosts.moc"
