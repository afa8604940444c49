#include "ContentJob.h"

#include <VlContentReader.h>

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <cstdio>

using Vela::VlContentReader;

ContentJob::ContentJob(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    VlContentReader *reader = VlContentReader::globalInstance();
    connect(reader, &VlContentReader::readyContent, this, &ContentJob::on_readyContent);
    connect(reader, &VlContentReader::failedToRead, this, &ContentJob::on_failedToRead);
    connect(
        reader, &VlContentReader::gotContentPageCount, this, &ContentJob::on_gotContentPageCount);
}

void ContentJob::start()
{
    for (const QString &file : qAsConst(m_options.files)) {
        if (m_files.contains(file))
            continue; // one result per file, even when it is named twice
        FileState &state = m_files[file];
        state.baseName = QFileInfo(file).completeBaseName();
        state.total = 1;
        state.sinceLast.start();
        // Every document starts with one page; the page count that the reader announces
        // with it tells how many more to ask for.
        // A still image has one page, 0, whatever page the run asks of documents.
        const bool document
            = QFileInfo(file).suffix().compare(QLatin1String("pdf"), Qt::CaseInsensitive) == 0;
        request(file, m_options.allPages || !document ? 0 : m_options.page);
    }
    if (m_outstanding == 0)
        emit done();
}

void ContentJob::request(const QString &uri, int pageIndex)
{
    ++m_files[uri].pending;
    ++m_outstanding;
    VlContentReader::read(uri, pageIndex, QSize());
}

void ContentJob::on_gotContentPageCount(const QString &uri, int pageCount)
{
    auto it = m_files.find(uri);
    if (it == m_files.end())
        return;
    const bool first = it->pageCount == 0;
    it->pageCount = pageCount;
    if (!first || !m_options.allPages)
        return;
    it->total = qMax(1, pageCount);
    for (int page = 1; page < pageCount; ++page)
        request(uri, page);
}

void ContentJob::on_readyContent(const QString &uri, int pageIndex, const QSize &)
{
    auto it = m_files.find(uri);
    if (it == m_files.end())
        return;
    FileState &state = *it;
    const qint64 ms = state.sinceLast.restart();
    // A document's last page may be asked for as -1; it is saved under its real number.
    const int page = pageIndex == -1 ? qMax(0, state.pageCount - 1) : pageIndex;

    const std::shared_ptr<QImage> image = VlContentReader::getImage(uri, pageIndex);
    if (!image || image->isNull()) {
        // Another file's image may have pushed this one out of a small cache before this
        // slot ran; reading it once more is cheap compared with failing the run.
        if (!state.retried) {
            state.retried = true;
            --state.pending;
            --m_outstanding;
            request(uri, pageIndex);
            return;
        }
        clearProgress();
        std::fprintf(stderr, "%s: page %d: the image left the cache before it could be saved\n",
            qPrintable(QDir::toNativeSeparators(uri)), page);
        ++m_failures;
        finishOne(uri);
        return;
    }

    const QString out
        = QDir(m_options.outDir)
              .filePath(QStringLiteral("%1_%2.png").arg(state.baseName, QString::number(page)));
    if (!image->save(out, "PNG")) {
        clearProgress();
        std::fprintf(stderr, "%s: page %d: cannot write %s\n",
            qPrintable(QDir::toNativeSeparators(uri)), page,
            qPrintable(QDir::toNativeSeparators(out)));
        ++m_failures;
    } else {
        clearProgress();
        std::fprintf(stdout, "%s\tpage %d\t%dx%d\t%lld ms\t%s\n",
            qPrintable(QDir::toNativeSeparators(uri)), page, image->width(), image->height(),
            static_cast<long long>(ms), qPrintable(QDir::toNativeSeparators(out)));
        std::fflush(stdout);
        ++m_written;
        state.storedPages.append(pageIndex);
    }
    ++state.finishedPages;
    showProgress(uri, state);
    finishOne(uri);
}

void ContentJob::on_failedToRead(
    const QString &uri, int pageIndex, const QString &message, const QSize &)
{
    auto it = m_files.find(uri);
    if (it == m_files.end())
        return;
    it->sinceLast.restart();
    ++it->finishedPages;
    clearProgress();
    std::fprintf(stderr, "%s: page %d: %s\n", qPrintable(QDir::toNativeSeparators(uri)), pageIndex,
        qPrintable(message));
    ++m_failures;
    finishOne(uri);
}

void ContentJob::finishOne(const QString &uri)
{
    --m_files[uri].pending;
    if (--m_outstanding == 0) {
        clearProgress();
        emit done();
    }
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

void ContentJob::showProgress(const QString &uri, const FileState &state)
{
    if (!m_options.progress || state.total < 2)
        return;
    std::fprintf(stderr, "\r%s: %d/%d pages", qPrintable(QFileInfo(uri).fileName()),
        state.finishedPages, state.total);
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
