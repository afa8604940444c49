#include "ContentJob.h"

#include "PageWriter.h"

#include <VlContentReader.h>
#include <VlDecodeRefusals.h>
#include <VlExtension.h>
#include <VlPdf.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QSet>
#include <QThread>
#include <cstdio>

using Vela::MediaType;
using Vela::VlContentReader;
using Vela::VlExtension;
using Vela::VlPdf;

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

// What the content reader reads, as its own media types tell it, for a failure to name.
QString supportedSuffixes()
{
    QStringList suffixes {QStringLiteral("pdf")};
    const auto formats = QImageReader::supportedImageFormats();
    for (const QByteArray &format : formats) {
        const QString suffix = QString::fromLatin1(format).toLower();
        if (VlExtension().getMediaType(suffix) == MediaType::image && !suffixes.contains(suffix))
            suffixes << suffix;
    }
    std::sort(suffixes.begin(), suffixes.end());
    return suffixes.join(QStringLiteral(", "));
}

// The sizes in pixels of the pages of a document drawn at dpi, or its page count alone with
// sizes null; false when the document does not open here, which the reader will then say.
bool measureDocument(const QString &path, double dpi, int *pageCount, QVector<QSize> *sizes)
{
    QMutexLocker globalLocker(VlPdf::globalLocker());
    VlPdf pdf(nullptr);
    if (!pdf.open(path, QString()))
        return false;
    *pageCount = pdf.pageCount();
    if (sizes) {
        pdf.setScale(dpi / 72.0);
        for (int page = 0; page < *pageCount; ++page)
            sizes->append(pdf.renderSize(page, QSize()));
    }
    pdf.close();
    return true;
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
        m_order << file;
        FileState &state = m_files[file];
        const QFileInfo info(shown(file));
        // a/doc.pdf, b/doc.pdf and doc.png would all write doc_0.png; the later ones get
        // doc-2, doc-3... Compared without case, for file systems that ignore it.
        const QString base = info.completeBaseName();
        state.stem = base;
        for (int n = 2; stems.contains(state.stem.toLower()); ++n)
            state.stem = QStringLiteral("%1-%2").arg(base).arg(n);
        stems.insert(state.stem.toLower());
        state.sinceLast.start();
        const QString suffix = info.suffix().toLower();
        if (QFileInfo(file).isDir())
            state.kind = Kind::Folder;
        else if (suffix == QLatin1String("pdf"))
            state.kind = Kind::Document;
        else if (suffix == QLatin1String("svg") || suffix == QLatin1String("svgz"))
            state.kind = Kind::Scalable;
        else if (VlExtension().getMediaType(suffix) != MediaType::image)
            state.kind = Kind::Unsupported;
        // A still image has one page, 0, whatever page the run asks of documents.
        state.document = state.kind == Kind::Document;
        plan(file, state);
    }
    pump();
}

// Decides which pages of a file to ask for, and at which size, as far as that is known before
// the reader has opened it.
void ContentJob::plan(const QString &uri, FileState &state)
{
    if (state.kind == Kind::Folder) {
        state.totalKnown = true;
        Result result;
        result.error = tr("is a folder, not a file: name the files in it");
        finishPage(uri, 0, result);
        return;
    }
    const bool sized = m_options.fitInto.isValid();
    if (!state.document) {
        state.totalKnown = true;
        askFor(
            uri, state, {0}, {sized && state.kind == Kind::Scalable ? m_options.fitInto : QSize()});
        return;
    }
    const bool byResolution = !sized && !qFuzzyCompare(m_options.resolution, 72.0);
    QVector<QSize> resolutionSizes;
    int count = 0;
    // The page count (for a list) and the page sizes (for a resolution) are needed before the
    // first page is asked for; a document that does not open here goes to the reader as it is,
    // whose message then says why.
    const bool measured = (m_options.pages == Pages::List || byResolution)
        && measureDocument(
            uri, m_options.resolution, &count, byResolution ? &resolutionSizes : nullptr);
    QVector<int> pages;
    if (m_options.pages == Pages::One) {
        pages = {m_options.page};
    } else if (m_options.pages == Pages::List && measured) {
        const PageList::Resolved listed = m_options.pageList.resolve(count);
        pages = listed.pages;
        // Pages outside the document are reported once, in the reader's words, which name
        // the page count.
        if (listed.outside)
            pages << qMax(listed.firstOutside, count);
    } else if (m_options.pages == Pages::All && measured) {
        for (int page = 0; page < count; ++page)
            pages << page;
    }
    // Without a page count yet, the one that comes with the first page tells the rest; a
    // document without pages is told so by the reader.
    if (pages.isEmpty())
        pages = {0};
    state.totalKnown = m_options.pages == Pages::One || measured;
    QVector<QSize> sizes;
    for (int page : qAsConst(pages)) {
        const int resolved = page == -1 ? count - 1 : page;
        if (sized)
            sizes << m_options.fitInto;
        else if (byResolution && measured && resolved >= 0 && resolved < resolutionSizes.size())
            sizes << resolutionSizes.at(resolved);
        else
            sizes << QSize();
    }
    askFor(uri, state, pages, sizes);
}

void ContentJob::askFor(
    const QString &uri, FileState &state, const QVector<int> &pages, const QVector<QSize> &sizes)
{
    for (int i = 0; i < pages.size(); ++i) {
        const int page = pages.at(i);
        if (state.positions.contains(page))
            continue;
        state.positions.insert(page, state.positions.size());
        const QSize size = i < sizes.size() ? sizes.at(i) : QSize();
        state.sizes.insert(page, size);
        m_queue.push_back({uri, page, size});
    }
    state.total = qMax(1, state.positions.size());
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
        VlContentReader::read(request.uri, request.pageIndex, request.size);
    }
    // Once interrupted, pages still being drawn are not waited for; pages being written are.
    if (!m_finished && m_queue.empty() && (m_asked == 0 || m_interrupted) && m_writing == 0) {
        m_finished = true;
        flush(m_interrupted != 0);
        clearProgress();
        printSummary();
        emit done();
    }
}

void ContentJob::interrupt(int status)
{
    if (m_finished || m_interrupted)
        return;
    m_interrupted = status;
    m_queue.clear();
    pump();
}

int ContentJob::exitStatus() const
{
    if (m_interrupted)
        return m_interrupted;
    return m_failures == 0 ? 0 : 1;
}

void ContentJob::on_gotContentPageCount(const QString &uri, int pageCount)
{
    auto it = m_files.find(uri);
    if (it == m_files.end())
        return;
    const bool first = it->pageCount == 0;
    it->pageCount = pageCount;
    if (!first || !it->document || it->totalKnown || m_interrupted)
        return;
    it->totalKnown = true;
    QVector<int> pages;
    if (m_options.pages == Pages::List) {
        const PageList::Resolved listed = m_options.pageList.resolve(pageCount);
        pages = listed.pages;
        if (listed.outside)
            pages << qMax(listed.firstOutside, pageCount);
    } else {
        for (int page = 1; page < pageCount; ++page)
            pages << page;
    }
    askFor(uri, *it, pages, QVector<QSize>(pages.size(), it->sizes.value(0)));
}

void ContentJob::on_readyContent(const QString &uri, int pageIndex, const QSize &)
{
    auto it = m_files.find(uri);
    if (it == m_files.end() || !it->attempts.contains(pageIndex))
        return; // not asked for by this job, or answered twice
    FileState &state = *it;
    --m_asked;
    if (m_interrupted) {
        pump();
        return;
    }
    // A document's last page may be asked for as -1; it is saved under its real number.
    const int page = pageIndex == -1 ? qMax(0, state.pageCount - 1) : pageIndex;

    std::shared_ptr<const QImage> image = cachedImage(uri, pageIndex);
    m_peakCache = qMax(m_peakCache, VlContentReader::getCachedSize());
    if (!image || image->isNull()) {
        if (state.attempts.value(pageIndex) < attemptsPerPage) {
            // From now on one page at a time: each is then the newest image in the cache,
            // which its minimum image count always keeps.
            m_lostPage = true;
            m_queue.push_front({uri, pageIndex, state.sizes.value(pageIndex)});
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

    Result result;
    result.page = page;
    result.output = outputPath(uri, state, page);
    if (result.output.isEmpty()) {
        result.error = tr("its file name %1 is that of an earlier page; put %n or %d (and %b "
                          "for several files) in --output")
                           .arg(m_options.names.fileName(state.stem, page));
        finishPage(uri, pageIndex, result);
        pump();
        return;
    }
    // Pictures are not drawn at a size; they are scaled smoothly to fit instead.
    QSize scaleTo;
    if (m_options.fitInto.isValid() && state.kind == Kind::Raster)
        scaleTo = image->size().scaled(m_options.fitInto, Qt::KeepAspectRatio).expandedTo({1, 1});
    result.size = scaleTo.isValid() ? scaleTo : image->size();

    Ticket &ticket = m_tickets[m_nextTicket];
    ticket.uri = uri;
    ticket.pageIndex = pageIndex;
    ticket.result = result;
    ++m_writing;
    // The last page (or the only one, the common case of --page) has nothing left to overlap
    // with; written here it spares the hand-over to a pool thread and back, which on a busy
    // machine costs more than the writing, and the idle encoders' cores split the work.
    if (m_queue.empty() && m_asked == 0 && m_writing == 1) {
        const int last = m_nextTicket++;
        on_written(last, m_writer->writeNow(*image, ticket.result.output, scaleTo));
        return;
    }
    m_writer->write(m_nextTicket++, std::move(image), ticket.result.output, scaleTo);
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
    if (m_interrupted) {
        pump();
        return;
    }
    Result result;
    result.page = pageIndex;
    result.error = message + failureHint(uri, *it, pageIndex);
    finishPage(uri, pageIndex, result);
    pump();
}

QString ContentJob::failureHint(const QString &uri, FileState &state, int pageIndex) const
{
    const quint64 limit = qMax(readerDecodeFloor, VlContentReader::getMaximumCacheSize());
    if (state.kind == Kind::Unsupported) {
        if (!QFileInfo::exists(uri))
            return {};
        static const QString suffixes = supportedSuffixes();
        return tr(" (vela-content reads %1)").arg(suffixes);
    }
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
        // The reader tells whether the page was refused for its size; a page that cannot be
        // drawn for any other reason (a damaged page tree) gets no advice about limits.
        if (Vela::VlDecodeRefusals::refusedForSize(uri, pageIndex))
            return tr(" (pages that would draw to more than %1 bytes are refused; "
                      "--max-cache-bytes raises that limit, and --resolution, --scale-to or "
                      "--size draw a page smaller)")
                .arg(limit);
        return {};
    }
    // The reader gives one message for every kind of unreadable image and says apart whether
    // it measured the picture over its limit. Opening the file again with a decoder to find
    // out would allocate all that the reader refused to.
    if (Vela::VlDecodeRefusals::refusedForSize(uri, pageIndex))
        return (state.kind == Kind::Scalable
                ? tr(" (the image would decode to more than the limit of %1 bytes; "
                     "--max-cache-bytes raises it, and --scale-to or --size draw it smaller)")
                : tr(" (the image would decode to more than the limit of %1 bytes; "
                     "--max-cache-bytes raises it)"))
            .arg(limit);
    return {};
}

void ContentJob::finishPage(const QString &uri, int pageIndex, const Result &result)
{
    FileState &state = m_files[uri];
    state.attempts.remove(pageIndex);
    // The reader announces a document's page count before its first page, so the file's
    // total is final once anything of it is in.
    state.totalKnown = true;
    // The encoders may finish pages out of order; they are reported in order.
    state.finished.insert(state.positions.value(pageIndex), result);
    flush(false);
}

void ContentJob::flush(bool skipGaps)
{
    while (m_reporting < m_order.size()) {
        const QString &uri = m_order.at(m_reporting);
        FileState &state = m_files[uri];
        while (!state.finished.isEmpty()
            && (skipGaps || state.finished.firstKey() == state.reported)) {
            report(uri, state.finished.take(state.finished.firstKey()), state.sinceLast.restart());
            ++state.reported;
            showProgress(uri, state);
        }
        if (!skipGaps && !(state.totalKnown && state.reported >= state.total))
            return;
        ++m_reporting;
    }
}

void ContentJob::report(const QString &uri, const Result &result, qint64 ms)
{
    clearProgress();
    if (result.error.isEmpty())
        ++m_written;
    else
        ++m_failures;
    if (!result.error.isEmpty()) {
        // A page number only where there are pages: not for a picture, nor for a document
        // that did not open.
        const FileState &state = m_files[uri];
        if (state.document && state.pageCount > 0)
            std::fprintf(stderr, "%s: page %d: %s\n", qPrintable(shown(uri)), result.page,
                qPrintable(result.error));
        else
            std::fprintf(stderr, "%s: %s\n", qPrintable(shown(uri)), qPrintable(result.error));
        std::fflush(stderr);
    }

    if (m_options.output == Output::Json) {
        QJsonObject object {
            {QStringLiteral("type"),
                result.error.isEmpty() ? QStringLiteral("page") : QStringLiteral("failure")},
            {QStringLiteral("file"), shown(uri)}, {QStringLiteral("page"), result.page},
            {QStringLiteral("ms"), ms}};
        if (result.error.isEmpty()) {
            object.insert(QStringLiteral("width"), result.size.width());
            object.insert(QStringLiteral("height"), result.size.height());
            object.insert(QStringLiteral("output"), native(result.output));
        } else {
            object.insert(QStringLiteral("message"), result.error);
        }
        printOut(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
    } else if (m_options.output == Output::Text && result.error.isEmpty()) {
        printOut(QStringLiteral("%1\tpage %2\t%3x%4\t%5 ms\t%6\n")
                     .arg(shown(uri))
                     .arg(result.page)
                     .arg(result.size.width())
                     .arg(result.size.height())
                     .arg(ms)
                     .arg(native(result.output))
                     .toLocal8Bit());
    }
}

void ContentJob::printOut(const QByteArray &line)
{
    if (m_stdoutGone)
        return;
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    // A reader that went away (a pipe into head) ends the listing, not the job.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        m_stdoutGone = true;
}

QString ContentJob::shown(const QString &uri) const
{
    return native(m_options.shownNames.value(uri, uri));
}

// The run asks for each page at one size only, so the one image of that page is the one asked
// for: the natural-size image, or the image drawn at the size asked.
std::shared_ptr<QImage> ContentJob::cachedImage(const QString &uri, int pageIndex) const
{
    const auto it = m_files.constFind(uri);
    if (it != m_files.cend() && it->sizes.value(pageIndex).isValid())
        return VlContentReader::getImageLarge(uri, pageIndex, QSize());
    return VlContentReader::getImage(uri, pageIndex);
}

// Empty when an earlier page of the run was written under the same name.
QString ContentJob::outputPath(const QString &uri, const FileState &state, int page)
{
    const QString path
        = QDir(m_options.outDir).filePath(m_options.names.fileName(state.stem, page));
    const QString key = QDir::cleanPath(path).toLower();
    const QString owner = uri + QLatin1Char('\n') + QString::number(page);
    if (m_outputs.value(key, owner) != owner)
        return QString();
    m_outputs.insert(key, owner);
    // A template may name a folder below the output folder.
    const QString folder = QFileInfo(path).path();
    if (folder != QDir::cleanPath(m_options.outDir))
        QDir().mkpath(folder);
    return path;
}

int ContentJob::cachedImages() const
{
    int count = 0;
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
        for (int page : it->storedPages) {
            if (cachedImage(it.key(), page))
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
        QJsonObject summary {{QStringLiteral("type"), QStringLiteral("summary")},
            {QStringLiteral("written"), m_written}, {QStringLiteral("failures"), m_failures},
            {QStringLiteral("ms"), wall}, {QStringLiteral("peakCacheBytes"), qint64(m_peakCache)},
            {QStringLiteral("cacheBytes"), qint64(cached)},
            {QStringLiteral("cachedImages"), cachedImages()}};
        if (m_interrupted)
            summary.insert(QStringLiteral("interrupted"), true);
        printOut(QJsonDocument(summary).toJson(QJsonDocument::Compact) + '\n');
    } else if (m_options.output == Output::Text) {
        const QString written
            = m_written == 1 ? tr("1 page written") : tr("%1 pages written").arg(m_written);
        printOut(tr("%1, %2 failed, %3 ms%4; cache: %5 bytes in %6 images, at most %7 bytes\n")
                     .arg(written)
                     .arg(m_failures)
                     .arg(wall)
                     .arg(m_interrupted ? tr(", interrupted") : QString())
                     .arg(cached)
                     .arg(cachedImages())
                     .arg(m_peakCache)
                     .toLocal8Bit());
    }
}

void ContentJob::showProgress(const QString &uri, const FileState &state)
{
    if (!m_options.progress || state.total < 2)
        return;
    std::fprintf(stderr, "\r%s: %d/%d pages", qPrintable(QFileInfo(shown(uri)).fileName()),
        state.reported, state.total);
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
