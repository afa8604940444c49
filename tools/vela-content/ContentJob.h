#ifndef VELA_CONTENTJOB_H
#define VELA_CONTENTJOB_H

#include "OutputTemplate.h"
#include "PageList.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSize>
#include <QStringList>
#include <QVector>

#include <deque>
#include <memory>

class PageWriter;

// Reads a list of files through the content reader the way a signage player does: issue the
// requests, wait for the reader's signals, take each image out of the cache and save it.
//
// The cache evicts what nobody asked for lately, and the reader draws pages faster than PNGs
// are written, so the job never has more pages asked for than the cache can hold until they
// are taken, and takes each page out of the cache as soon as it is announced. Only then is the
// next page asked for. A page that still went missing is asked for again, one at a time. Pages
// once taken are dropped from the cache now and then, so memory stays flat in the page count.
// Files are read in parallel, but their lines are printed in the order of the arguments, each
// file's pages in the order asked: a finished line waits until every line before it is out.
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
    enum class Pages { All, One, List };

    struct Options
    {
        QStringList files;
        // What a file of files is called in lines and names when that is not the path read
        // (a name that is not valid text, read through an alias).
        QHash<QString, QString> shownNames;
        QString outDir;
        Pages pages = Pages::All;
        int page = 0; // Pages::One: zero-based, -1 for the last page
        PageList pageList; // Pages::List
        OutputTemplate names;
        // Document pages are drawn at this many dots per inch; 72 is their natural size.
        double resolution = 72.0;
        // When valid, every page fits within it, aspect kept (--scale-to, --size).
        QSize fitInto;
        bool progress = false;
        Output output = Output::Text;
    };

    explicit ContentJob(const Options &options, QObject *parent = nullptr);
    ~ContentJob() override;

    ContentJob(const ContentJob &) = delete;
    ContentJob &operator=(const ContentJob &) = delete;

    void start();
    // Asks for no more pages, lets the pages being written finish, prints what is done and the
    // summary, and ends the job; exitStatus() is then status.
    void interrupt(int status);
    int failures() const { return m_failures; }
    int pagesWritten() const { return m_written; }
    // 0 when every page was written, 1 when any failed, the status given to interrupt().
    int exitStatus() const;

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
        QSize size; // invalid: natural size
    };
    // What a page came to, kept until every earlier page of its file has been reported.
    struct Result
    {
        int page = 0;
        QSize size;
        QString output;
        QString error; // empty when the page was written
    };
    enum class Kind { Document, Scalable, Raster, Unsupported, Folder };
    struct FileState
    {
        QString stem; // the file's base name in PNG names, unique within the run
        Kind kind = Kind::Raster;
        bool document = false;
        int pageCount = 0; // 0 until the reader announces it
        int total = 1; // pages this run asks for
        bool totalKnown = false; // total is final
        int reported = 0;
        QHash<int, int> positions; // page index as asked -> position among the file's lines
        QHash<int, QSize> sizes; // page index as asked -> size asked of the reader
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
    void plan(const QString &uri, FileState &state);
    void askFor(const QString &uri, FileState &state, const QVector<int> &pages,
        const QVector<QSize> &sizes = {});
    std::shared_ptr<QImage> cachedImage(const QString &uri, int pageIndex) const;
    QString outputPath(const QString &uri, const FileState &state, int page);
    void finishPage(const QString &uri, int pageIndex, const Result &result);
    void flush(bool skipGaps);
    void report(const QString &uri, const Result &result, qint64 ms);
    void printOut(const QByteArray &line);
    QString shown(const QString &uri) const;
    QString failureHint(const QString &uri, FileState &state, int pageIndex) const;
    int cachedImages() const;
    void printSummary();
    void showProgress(const QString &uri, const FileState &state);
    void clearProgress();

    Options m_options;
    PageWriter *m_writer;
    int m_writerThreads;
    QHash<QString, FileState> m_files;
    QStringList m_order; // the files in argument order, each once
    int m_reporting = 0; // the file in m_order whose lines are printed now
    QHash<QString, QString> m_outputs; // output name, lower case -> what was written there
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
    int m_interrupted = 0; // the exit status asked for by interrupt()
    bool m_stdoutGone = false; // standard output was closed: the listing stops, not the job
    QElapsedTimer m_wall;
};

#endif
