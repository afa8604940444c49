#ifndef VELA_CONTENTJOB_H
#define VELA_CONTENTJOB_H

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSize>
#include <QStringList>
#include <QVector>

// Reads a list of files through the content reader the way a signage player does: issue the
// requests, wait for the reader's signals, take each image out of the cache and save it.
// Everything runs in the thread of the application object; the reader's workers report
// back to it by queued signals.
class ContentJob : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QStringList files;
        QString outDir;
        bool allPages = true;
        int page = 0;
        bool progress = false;
    };

    explicit ContentJob(const Options &options, QObject *parent = nullptr);

    void start();
    int failures() const { return m_failures; }
    int pagesWritten() const { return m_written; }
    // The images of this run that the cache still holds.
    int cachedImages() const;

signals:
    void done();

private slots:
    void on_readyContent(const QString &uri, int pageIndex, const QSize &requestedSize);
    void on_failedToRead(
        const QString &uri, int pageIndex, const QString &message, const QSize &requestedSize);
    void on_gotContentPageCount(const QString &uri, int pageCount);

private:
    struct FileState
    {
        QString baseName;
        int pending = 0;
        int pageCount = 0; // 0 until the reader announces it
        int total = 0; // pages this run asks for
        int finishedPages = 0;
        bool retried = false;
        QElapsedTimer sinceLast;
        QVector<int> storedPages;
    };

    void request(const QString &uri, int pageIndex);
    void finishOne(const QString &uri);
    void showProgress(const QString &uri, const FileState &state);
    void clearProgress();

    Options m_options;
    QHash<QString, FileState> m_files;
    int m_outstanding = 0;
    int m_failures = 0;
    int m_written = 0;
    bool m_progressShown = false;
};

#endif
