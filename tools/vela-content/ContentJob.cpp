#include "ContentJob.h"

#include "PageWriter.h"

#include <VlContentReader.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>
#include <cstdio>

using Vela::VlContentReader;

namespace {

// A page that went missing from the cache is asked for again, one page at a time from then on;
// this many losses of one page mean that the limits cannot hold even that one.
constexpr int attemptsPerPage = 3;
// The reader refuses an image or page that would decode to more than this or the cache's byte
// limit, whichever is larger.
constexpr quint64 readerDecodeFloor = 256ull * 1024 * 1024;

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

void printJson(const QJsonObject &object)
{
    std::fprintf(stdout, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
}

// PDF names its encryption dictionary in the trailer, at the end of the file (and, in a
// linearised file, near the start too); reading the whole of a large file is not needed.
bool looksEncrypted(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 window = 4 * 1024 * 1024;
    const QByteArray head = file.read(window);
    if (head.contains("/Encrypt"))
        return true;
    if (file.size() <= window)
        return false;
    file.seek(qMax(window, file.size() - window));
    return file.readAll().contains("/Encrypt");
}

} // namespace

ContentJob::ContentJob(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_writer(new PageWriter(this))
    , m_writerThreads(qMax(1, QThread::idealThreadCount()))
{
    VlContentReader *reader = VlContentReader::globalInstance();
    connect(reader, &VlContentReader::readyContent, this, &ContentJob::on_readyContent);
    connect(reader, &VlContentReader::failedToRead, this, &ContentJob::on_failedToRead);
    connect(
        reader, &VlContentReader::gotContentPageCount, this, &ContentJob::on_gotContentPageCount);
    connect(m_writer, &PageWriter::written, this, &ContentJob::on_written, Qt::QueuedConnection);
}

ContentJob::~ContentJob()
{
    // Joins the encoders while the job they report to still exists.
    delete m_writer;
}

void ContentJob::start()
{
    m_wall.start();
    QSet<QString> stems;
    for (const QString &file : qAsConst(m_options.files)) {
        if (m_files.contains(file))
            continue; // one result per file, even when it is named twice
        FileState &state = m_files[file];
        const QFileInfo info(file);
        // a/doc.pdf, b/doc.pdf and doc.png would all write doc_0.png; the later ones get
        // doc-2, doc-3... Compared without case, for file systems that ignore it.
        const QString base = info.completeBaseName();
        state.stem = base;
        for (int n = 2; stems.contains(state.stem.toLower()); ++n)
            state.stem = QStringLiteral("%1-%2").arg(base).arg(n);
        stems.insert(state.stem.toLower());
        state.sinceLast.start();
        // A still image has one page, 0, whatever page the run asks of documents.
        state.document = info.suffix().compare(QLatin1String("pdf"), Qt::CaseInsensitive) == 0;
        // Every document starts with one page; the page count that the reader announces
        // with it tells how many more to ask for.
        m_queue.push_back({file, m_options.allPages || !state.document ? 0 : m_options.page});
    }
    pump();
}

int ContentJob::window() const
{
    if (m_lostPage)
        return 1;
    // Enough pages on their way to keep the reader and every encoder busy.
    int pages = 2 * m_writerThreads + 2;
    // An announced page is taken at once, but pages taken since it was stored were touched
    // later and rank before it in the cache; half of each limit leaves room for both.
    const int maxImages = VlContentReader::getMaximumImageCount();
    if (maxImages >= 1)
        pages = qMin(pages, qMax(1, maxImages / 2));
    const quint64 maxBytes = VlContentReader::getMaximumCacheSize();
    if (maxBytes > 0) {
        if (m_largestPage == 0)
            return 1; // no page seen yet to size the others by
        pages = int(qMin<quint64>(pages, qMax<quint64>(1, maxBytes / m_largestPage / 2)));
    }
    return pages;
}

void ContentJob::pump()
{
    // Encoded pages wait in the writer's queue; a bounded queue keeps memory flat when the
    // reader outruns the encoders.
    const int writeQueue = 2 * m_writerThreads;
    const quint64 cached = VlContentReader::getCachedSize();
    m_peakCache = qMax(m_peakCache, cached);
    // Pages already taken are of no more use in the cache, and with default limits it would
    // grow to 100 MiB on a long document. Once it holds a few windows' worth, no more pages
    // are asked for until those on their way are taken; then it is emptied, which can lose
    // none of them. The reader keeps drawing those meanwhile, so it hardly waits.
    if (!m_draining && m_largestPage > 0 && cached >= 2 * quint64(window()) * m_largestPage)
        m_draining = true;
    if (m_draining && m_asked == 0) {
        VlContentReader::clearAllCache();
        m_draining = false;
    }
    while (!m_draining && !m_queue.empty() && m_asked < window() && m_writing < writeQueue) {
        const Request request = m_queue.front();
        m_queue.pop_front();
        ++m_files[request.uri].attempts[request.pageIndex];
        ++m_asked;
        VlContentReader::read(request.uri, request.pageIndex, QSize());
    }
    if (!m_finished && m_queue.empty() && m_asked == 0 && m_writing == 0) {
        m_finished = true;
        clearProgress();
        printSummary();
        emit done();
    }
}

void ContentJob::on_gotContentPageCount(const QString &uri, int pageCount)
{
    auto it = m_files.find(uri);
    if (it == m_files.end())
        return;
    const bool first = it->pageCount == 0;
    it->pageCount = pageCount;
    if (!first || !m_options.allPages || !it->document)
        return;
    it->total = qMax(1, pageCount);
    for (int page = 1; page < pageCount; ++page)
        m_queue.push_back({uri, page});
}

void ContentJob::on_readyContent(const QString &uri, int pageIndex, const QSize &)
{
    auto it = m_files.find(uri);
    if (it == m_files.end() || !it->attempts.contains(pageIndex))
        return; // not asked for by this job, or answered twice
    FileState &state = *it;
    --m_asked;
    // A document's last page may be asked for as -1; it is saved under its real number.
    const int page = pageIndex == -1 ? qMax(0, state.pageCount - 1) : pageIndex;

    std::shared_ptr<const QImage> image = VlContentReader::getImage(uri, pageIndex);
    m_peakCache = qMax(m_peakCache, VlContentReader::getCachedSize());
    if (!image || image->isNull()) {
        if (state.attempts.value(pageIndex) < attemptsPerPage) {
            // From now on one page at a time: each is then the newest image in the cache,
            // which its minimum image count always keeps.
            m_lostPage = true;
            m_queue.push_front({uri, pageIndex});
        } else {
            Result result;
            result.page = page;
            result.error = tr("the page left the image cache before it could be saved; raise "
                              "--max-cache-bytes (now %1) or --max-images (now %2)")
                               .arg(VlContentReader::getMaximumCacheSize())
                               .arg(VlContentReader::getMaximumImageCount());
            finishPage(uri, pageIndex, result);
        }
        pump();
        return;
    }
    m_largestPage = qMax<quint64>(m_largestPage, quint64(image->sizeInBytes()));

    Ticket &ticket = m_tickets[m_nextTicket];
    ticket.uri = uri;
    ticket.pageIndex = pageIndex;
    ticket.result.page = page;
    ticket.result.size = image->size();
    ticket.result.output
        = QDir(m_options.outDir)
              .filePath(QStringLiteral("%1_%2.png").arg(state.stem, QString::number(page)));
    ++m_writing;
    // The last page (or the only one, the common case of --page) has nothing left to overlap
    // with; written here it spares the hand-over to a pool thread and back, which on a busy
    // machine costs more than the writing, and the idle encoders' cores split the work.
    if (m_queue.empty() && m_asked == 0 && m_writing == 1) {
        const int last = m_nextTicket++;
        on_written(last, m_writer->writeNow(*image, ticket.result.output));
        return;
    }
    m_writer->write(m_nextTicket++, std::move(image), ticket.result.output);
    pump();
}

void ContentJob::on_written(int ticket, const QString &error)
{
    const Ticket written = m_tickets.take(ticket);
    --m_writing;
    Result result = written.result;
    if (!error.isEmpty())
        result.error = tr("cannot write %1: %2").arg(native(result.output), error);
    else
        m_files[written.uri].storedPages.append(written.pageIndex);
    finishPage(written.uri, written.pageIndex, result);
    pump();
}

void ContentJob::on_failedToRead(
    const QString &uri, int pageIndex, const QString &message, const QSize &)
{
    auto it = m_files.find(uri);
    if (it == m_files.end() || !it->attempts.contains(pageIndex))
        return;
    --m_asked;
    Result result;
    result.page = pageIndex;
    result.error = message + failureHint(uri, *it, pageIndex);
    finishPage(uri, pageIndex, result);
    pump();
}

QString ContentJob::failureHint(const QString &uri, FileState &state, int pageIndex) const
{
    const quint64 limit = qMax(readerDecodeFloor, VlContentReader::getMaximumCacheSize());
    if (state.document) {
        // The reader announces the page count as soon as the document opens; without it the
        // document did not open, and a password is a common reason.
        if (state.pageCount == 0) {
            if (!state.encryptionKnown) {
                state.encryptionKnown = true;
                state.encrypted = QFileInfo(uri).isFile() && looksEncrypted(uri);
            }
            return state.encrypted ? tr(" (the document is encrypted: save a copy without a "
                                        "password and read that)")
                                   : QString();
        }
        // A page that exists but could not be drawn may have been refused for its size.
        if (pageIndex < state.pageCount)
            return tr(" (pages that would draw to more than %1 bytes are refused; "
                      "--max-cache-bytes raises that limit)")
                .arg(limit);
        return {};
    }
    // The reader gives one message for every kind of unreadable image; the header says
    // whether it was refused for its size.
    QImageReader reader(uri);
    const QSize size = reader.size();
    const int depth = QImage::toPixelFormat(reader.imageFormat()).bitsPerPixel();
    if (size.isValid() && depth > 0
        && quint64(size.width()) * quint64(size.height()) * quint64(depth) / 8 > limit)
        return tr(" (the image is %1x%2 pixels, more than the limit of %3 bytes; "
                  "--max-cache-bytes raises it)")
            .arg(size.width())
            .arg(size.height())
            .arg(limit);
    return {};
}

void ContentJob::finishPage(const QString &uri, int pageIndex, const Result &result)
{
    FileState &state = m_files[uri];
    state.attempts.remove(pageIndex);
    // The encoders may finish a file's pages out of order; they are reported in page order.
    state.finished.insert(m_options.allPages ? pageIndex : 0, result);
    while (!state.finished.isEmpty() && state.finished.firstKey() == state.reported) {
        report(uri, state.finished.take(state.reported), state.sinceLast.restart());
        ++state.reported;
        showProgress(uri, state);
    }
}

void ContentJob::report(const QString &uri, const Result &result, qint64 ms)
{
    clearProgress();
    if (result.error.isEmpty())
        ++m_written;
    else
        ++m_failures;
    if (!result.error.isEmpty())
        std::fprintf(stderr, "%s: page %d: %s\n", qPrintable(native(uri)), result.page,
            qPrintable(result.error));

    if (m_options.output == Output::Json) {
        QJsonObject object {
            {QStringLiteral("type"),
                result.error.isEmpty() ? QStringLiteral("page") : QStringLiteral("failure")},
            {QStringLiteral("file"), native(uri)}, {QStringLiteral("page"), result.page},
            {QStringLiteral("ms"), ms}};
        if (result.error.isEmpty()) {
            object.insert(QStringLiteral("width"), result.size.width());
            object.insert(QStringLiteral("height"), result.size.height());
            object.insert(QStringLiteral("output"), native(result.output));
        } else {
            object.insert(QStringLiteral("message"), result.error);
        }
        printJson(object);
    } else if (m_options.output == Output::Text && result.error.isEmpty()) {
        std::fprintf(stdout, "%s\tpage %d\t%dx%d\t%lld ms\t%s\n", qPrintable(native(uri)),
            result.page, result.size.width(), result.size.height(), static_cast<long long>(ms),
            qPrintable(native(result.output)));
    }
    std::fflush(stdout);
}

int ContentJob::cachedImages() const
{
    int count = 0;
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
        for (int page : it->storedPages) {
            if (VlContentReader::getImage(it.key(), page))
                ++count;
        }
    }
    return count;
}

void ContentJob::printSummary()
{
    const quint64 cached = VlContentReader::getCachedSize();
    m_peakCache = qMax(m_peakCache, cached);
    const qint64 wall = m_wall.elapsed();
    if (m_options.output == Output::Json) {
        printJson({{QStringLiteral("type"), QStringLiteral("summary")},
            {QStringLiteral("written"), m_written}, {QStringLiteral("failures"), m_failures},
            {QStringLiteral("ms"), wall}, {QStringLiteral("peakCacheBytes"), qint64(m_peakCache)},
            {QStringLiteral("cacheBytes"), qint64(cached)},
            {QStringLiteral("cachedImages"), cachedImages()}});
    } else if (m_options.output == Output::Text) {
        std::fprintf(stdout,
            "%d pages written, %d failed, %lld ms; cache: %llu bytes in %d images, at most %llu "
            "bytes\n",
            m_written, m_failures, static_cast<long long>(wall),
            static_cast<unsigned long long>(cached), cachedImages(),
            static_cast<unsigned long long>(m_peakCache));
    }
    std::fflush(stdout);
}

void ContentJob::showProgress(const QString &uri, const FileState &state)
{
    if (!m_options.progress || state.total < 2)
        return;
    std::fprintf(stderr, "\r%s: %d/%d pages", qPrintable(QFileInfo(uri).fileName()), state.reported,
        state.total);
    std::fflush(stderr);
    m_progressShown = true;
}

void ContentJob::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    m_progressShown = false;
}
