#ifndef VELA_CONTENTJOB_H
#define VELA_CONTENTJOB_H

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSize>
#include <QStringList>
#include <QVector>

#include <deque>

class PageWriter;

// Reads a list of files through the content reader the way a signage player does: issue the
// requests, wait for the reader's signals, take each image out of the cache and save it.
//
// The cache evicts what nobody asked for lately, and the reader draws pages faster than PNGs
// are written, so the job never has more pages asked for than the cache can hold until they
// are taken, and takes each page out of the cache as soon as it is announced. Only then is the
// next page asked for. A page that still went missing is asked for again, one at a time. Pages
// once taken are dropped from the cache now and then, so memory stays flat in the page count.
//
// Threads: the job lives in the thread of the application object, where the reader keeps its
// cache, so the cache's evictions run between the job's slots, never inside one. The reader's
// workers report back to it by queued signals; the page writer encodes PNGs in its pool and
// reports back queued too.
class ContentJob : public QObject
{
    Q_OBJECT
public:
    enum class Output { Text, Json, Quiet };

    struct Options
    {
        QStringList files;
        QString outDir;
        bool allPages = true;
        int page = 0;
        bool progress = false;
        Output output = Output::Text;
    };

    explicit ContentJob(const Options &options, QObject *parent = nullptr);
    ~ContentJob() override;

    ContentJob(const ContentJob &) = delete;
    ContentJob &operator=(const ContentJob &) = delete;

    void start();
    int failures() const { return m_failures; }
    int pagesWritten() const { return m_written; }

signals:
    // The summary has been printed; the job has nothing left to do.
    void done();

private slots:
    void on_readyContent(const QString &uri, int pageIndex, const QSize &requestedSize);
    void on_failedToRead(
        const QString &uri, int pageIndex, const QString &message, const QSize &requestedSize);
    void on_gotContentPageCount(const QString &uri, int pageCount);
    void on_written(int ticket, const QString &error);

private:
    struct Request
    {
        QString uri;
        int pageIndex = 0;
    };
    // What a page came to, kept until every earlier page of its file has been reported.
    struct Result
    {
        int page = 0;
        QSize size;
        QString output;
        QString error; // empty when the page was written
    };
    struct FileState
    {
        QString stem; // start of the file's PNG names, unique within the run
        bool document = false;
        int pageCount = 0; // 0 until the reader announces it
        int total = 1; // pages this run asks for
        int reported = 0;
        QHash<int, int> attempts; // by page index as asked, while the page is on its way
        QMap<int, Result> finished; // by position in the file, until reported in order
        QElapsedTimer sinceLast;
        QVector<int> storedPages;
        bool encrypted = false; // looked for at the first failure to open
        bool encryptionKnown = false;
    };
    struct Ticket
    {
        QString uri;
        int pageIndex = 0;
        Result result;
    };

    int window() const;
    void pump();
    void finishPage(const QString &uri, int pageIndex, const Result &result);
    void report(const QString &uri, const Result &result, qint64 ms);
    QString failureHint(const QString &uri, FileState &state, int pageIndex) const;
    int cachedImages() const;
    void printSummary();
    void showProgress(const QString &uri, const FileState &state);
    void clearProgress();

    Options m_options;
    PageWriter *m_writer;
    int m_writerThreads;
    QHash<QString, FileState> m_files;
    std::deque<Request> m_queue;
    QHash<int, Ticket> m_tickets;
    int m_nextTicket = 0;
    int m_asked = 0; // requested, not yet taken out of the cache
    int m_writing = 0; // taken, not yet written
    bool m_lostPage = false;
    bool m_draining = false; // no new requests until the cache can be emptied
    quint64 m_largestPage = 0;
    quint64 m_peakCache = 0;
    int m_failures = 0;
    int m_written = 0;
    bool m_progressShown = false;
    bool m_finished = false;
    QElapsedTimer m_wall;
};

#endif
