#ifndef VELA_PAGEWRITER_H
#define VELA_PAGEWRITER_H

#include <QObject>
#include <QSize>
#include <QString>
#include <QThreadPool>

#include <memory>

class QImage;

// Encodes page images as PNG files in a small pool of threads, so that the thread that talks
// to the content reader only hands images over and never waits for zlib.
//
// Threads: write() and writeNow() are called in the thread of this object; each file of write()
// is encoded and written by one thread of the pool, which then emits written(). Receivers in
// the object's thread get it queued. writeNow() lends the pool's idle threads to one image and
// returns when it is written. The destructor waits for every write that was handed over.
//
// A PNG is written under a hidden temporary name beside its final one and renamed into place
// once complete, so an interrupted run or a full disk never leaves a file cut short under a
// page's name; a write that fails removes what it wrote.
class PageWriter : public QObject
{
    Q_OBJECT
public:
    explicit PageWriter(QObject *parent = nullptr);
    ~PageWriter() override;

    PageWriter(const PageWriter &) = delete;
    PageWriter &operator=(const PageWriter &) = delete;

    // The writer holds the image until the file is written; ticket comes back in written().
    // With a valid scaleTo the image is first scaled to that size, smoothly.
    void write(int ticket, std::shared_ptr<const QImage> image, const QString &path,
        const QSize &scaleTo = QSize());

    // Writes one image as PNG in the calling thread, helped by the idle threads of the pool;
    // for a page that nothing else is left to overlap with.
    QString writeNow(const QImage &image, const QString &path, const QSize &scaleTo = QSize());

    // Writes one image as PNG in the calling thread, which the idle threads of helpers help to
    // encode when the image is large enough; an empty string on success, else why not.
    static QString writePng(
        const QImage &image, const QString &path, QThreadPool *helpers = nullptr);

signals:
    void written(int ticket, const QString &error);

private:
    QThreadPool m_pool;
};

#endif
