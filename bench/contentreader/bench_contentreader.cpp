// Figures of the content reader: end-to-end reads against a plain decode-and-hash loop,
// cache hits at several cache sizes, and parallel reads of distinct uris.
//
//   bench_contentreader [--quick]

#include "VlContentCache.h"
#include "VlContentReader.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPointer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace Vela;

namespace {

QImage makePattern(const QSize &size, bool alpha)
{
    QImage image(size, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    image.fill(alpha ? QColor(20, 80, 160, 90) : QColor(20, 80, 160));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QRandomGenerator random(42);
    for (int i = 0; i < 200; ++i) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor::fromHsv(random.bounded(360), 200, 230, alpha ? 160 : 255));
        const int w = 1 + random.bounded(size.width() / 4 + 1);
        const int h = 1 + random.bounded(size.height() / 4 + 1);
        painter.drawEllipse(random.bounded(size.width()), random.bounded(size.height()), w, h);
    }
    painter.end();
    return image;
}

// What a host would do by hand on one thread: decode, then hash the file.
QImage plainRead(const QString &path)
{
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    const QImage image = reader.read();
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    while (!file.atEnd())
        hash.addData(file.read(524288));
    if (image.isNull() || hash.result().isEmpty())
        std::fprintf(stderr, "plain read of %s failed\n", qPrintable(path));
    return image;
}

// Issues the reads and runs the event loop until every one has been answered.
void readAndWait(const QStringList &uris)
{
    VlContentReader *reader = VlContentReader::globalInstance();
    int remaining = uris.size();
    QEventLoop loop;
    auto done = [&] {
        if (--remaining == 0)
            loop.quit();
    };
    const auto ready = QObject::connect(reader, &VlContentReader::readyContent, &loop, done);
    const auto failed = QObject::connect(reader, &VlContentReader::failedToRead, &loop,
        [&](const QString &uri, int, const QString &message) {
            std::fprintf(stderr, "read of %s failed: %s\n", qPrintable(uri), qPrintable(message));
            done();
        });
    for (const QString &uri : uris)
        VlContentReader::read(uri);
    if (remaining > 0)
        loop.exec();
    QObject::disconnect(ready);
    QObject::disconnect(failed);
}

QStringList copies(const QString &source, const QString &stem, int count)
{
    QStringList out;
    for (int i = 0; i < count; ++i) {
        const QString path
            = QStringLiteral("%1-%2.%3").arg(stem).arg(i).arg(QFileInfo(source).suffix());
        QFile::remove(path);
        QFile::copy(source, path);
        out << path;
    }
    return out;
}

struct Still
{
    const char *name;
    QString path;
    int count;
};

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    // Eviction would blur the figures; the limits are switched off.
    VlContentReader::setMaximumImageCount(0);
    VlContentReader::setMaximumCacheSize(0);

    std::vector<Still> stills = {
        {"JPEG 4000x3000", dir.filePath("photo.jpg"), quick ? 3 : 8},
        {"PNG 1920x1080 alpha", dir.filePath("screen.png"), quick ? 4 : 16},
        {"PNG 256x256", dir.filePath("icon.png"), quick ? 20 : 120},
    };
    makePattern(QSize(4000, 3000), false).save(stills[0].path, "jpg", 90);
    makePattern(QSize(1920, 1080), true).save(stills[1].path, "png");
    makePattern(QSize(256, 256), true).save(stills[2].path, "png");
    for (const Still &still : stills)
        plainRead(still.path); // plugins loaded, files in the page cache

    std::printf("Content reader benchmark (%s build, %d cores)\n\n",
#ifdef NDEBUG
        "optimised",
#else
        "debug",
#endif
        QThread::idealThreadCount());

    // 1. One image after another, end to end, against the plain loop on one thread. Both keep
    // the images they decoded, as the cache does. The last column reads the same uris again
    // after clearAllCache(), when their worker threads already run.
    std::printf("%-22s %6s %13s %14s %7s %16s %7s\n", "still image", "count", "plain ms/img",
        "reader ms/img", "ratio", "warm thread ms", "ratio");
    for (const Still &still : stills) {
        double best[3] = {1e300, 1e300, 1e300};
        for (int round = 0; round < (quick ? 1 : 3); ++round) {
            const QString stem = dir.filePath(
                QStringLiteral("%1-%2").arg(QFileInfo(still.path).baseName()).arg(round));
            const QStringList plainFiles = copies(still.path, stem + "-plain", still.count);
            const QStringList readerFiles = copies(still.path, stem + "-reader", still.count);
            QElapsedTimer timer;
            {
                std::vector<QImage> kept;
                timer.start();
                for (const QString &path : plainFiles)
                    kept.push_back(plainRead(path));
                best[0] = std::min(best[0], timer.nsecsElapsed() / 1e6 / still.count);
            }
            timer.restart();
            for (const QString &path : readerFiles)
                readAndWait({path});
            best[1] = std::min(best[1], timer.nsecsElapsed() / 1e6 / still.count);
            VlContentReader::clearAllCache();
            timer.restart();
            for (const QString &path : readerFiles)
                readAndWait({path});
            best[2] = std::min(best[2], timer.nsecsElapsed() / 1e6 / still.count);
            VlContentReader::clearAllCache();
        }
        std::printf("%-22s %6d %13.2f %14.2f %6.2fx %16.2f %6.2fx\n", still.name, still.count,
            best[0], best[1], best[1] / best[0], best[2], best[2] / best[0]);
    }

    // 2. Cache hits with many entries: read of a cached page to readyContent, and getImage.
    std::printf("\n%-10s %22s %16s %22s\n", "entries", "cached read us/call", "getImage us",
        "getImage growth (log)");
    VlContentCache *cache = VlContentCache::instance();
    const QString hot = stills[2].path;
    double firstGetImage = 0;
    int firstEntries = 0;
    for (const int entries : {20, 1000, 10000}) {
        cache->clearAll();
        const auto small = std::make_shared<QImage>(4, 4, QImage::Format_ARGB32);
        QStringList uris;
        for (int i = 0; i < entries - 1; ++i) {
            const QString uri
                = dir.filePath(QStringLiteral("entry-%1.png").arg(i, 5, 10, QLatin1Char('0')));
            cache->insert(small, uri, 0, QSize());
            uris << uri;
        }
        readAndWait({hot});
        uris << hot;

        const int readRounds = quick ? 200 : 2000;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < readRounds; ++i)
            readAndWait({hot});
        const double readUs = timer.nsecsElapsed() / 1e3 / readRounds;

        const int lookups = quick ? 20000 : 200000;
        QRandomGenerator random(7);
        std::vector<int> order(lookups);
        for (int &index : order)
            index = random.bounded(uris.size());
        timer.restart();
        qint64 checksum = 0;
        for (const int index : order)
            checksum += VlContentReader::getImage(uris.at(index))->width();
        const double getUs = timer.nsecsElapsed() / 1e3 / lookups;
        if (checksum != qint64(lookups) * 4 && checksum < lookups)
            std::fprintf(stderr, "lookups missed\n");

        QString growth = QStringLiteral("-");
        if (firstEntries == 0) {
            firstEntries = entries;
            firstGetImage = getUs;
        } else {
            growth
                = QStringLiteral("%1x (log ratio %2x)")
                      .arg(getUs / firstGetImage, 0, 'f', 2)
                      .arg(std::log2(double(entries)) / std::log2(double(firstEntries)), 0, 'f', 2);
        }
        std::printf("%-10d %22.1f %16.2f %22s\n", entries, readUs, getUs, qPrintable(growth));
    }
    cache->clearAll();

    // 3. Distinct uris read in parallel against one thread decoding and hashing them in turn.
    const Still &screen = stills[1];
    const int parallel = quick ? 8 : 32;
    const QStringList plainFiles = copies(screen.path, dir.filePath("parallel-plain"), parallel);
    const QStringList readerFiles = copies(screen.path, dir.filePath("parallel-reader"), parallel);
    QElapsedTimer timer;
    std::vector<QImage> kept;
    timer.start();
    for (const QString &path : plainFiles)
        kept.push_back(plainRead(path));
    const double single = parallel / (timer.nsecsElapsed() / 1e9);
    timer.restart();
    readAndWait(readerFiles);
    const double threaded = parallel / (timer.nsecsElapsed() / 1e9);
    std::printf("\n%-34s %10s %10s\n",
        QStringLiteral("parallel, %1 x %2").arg(parallel).arg(screen.name).toLatin1().constData(),
        "images/s", "ratio");
    std::printf("%-34s %10.1f %10s\n", "one thread, plain loop", single, "1.00x");
    std::printf("%-34s %10.1f %9.2fx\n", "reader, one worker per uri", threaded, threaded / single);

    // Every worker thread ends before the application object goes.
    QPointer<VlContentReader> reader = VlContentReader::globalInstance();
    QEventLoop drain;
    QObject::connect(reader, &QObject::destroyed, &drain, &QEventLoop::quit);
    VlContentReader::quit();
    drain.exec();
    return 0;
}
