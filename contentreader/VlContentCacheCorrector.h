#ifndef VELA_VLCONTENTCACHECORRECTOR_H
#define VELA_VLCONTENTCACHECORRECTOR_H

#include <QDateTime>
#include <QEvent>
#include <QObject>
#include <QRecursiveMutex>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTimer>

class tst_VlContentCacheCorrector;

namespace Vela {

// Keeps the content cache within its limits. It never touches the cache's data: it asks and
// acts through its signals, which the cache connects to its maintenance slots, and it lives
// in the cache's thread, so those signals return their results before they return.
// The limit accessors may be called from any thread; each value has its own lock.
class VlContentCacheCorrector : public QObject
{
    Q_OBJECT
public:
    explicit VlContentCacheCorrector(QObject *parent = nullptr);
    ~VlContentCacheCorrector() override;

    VlContentCacheCorrector(const VlContentCacheCorrector &) = delete;
    VlContentCacheCorrector &operator=(const VlContentCacheCorrector &) = delete;

    quint64 getMaximumCacheSize() const;
    void setMaximumCacheSize(quint64 bytes);
    int getMaximumImageCount() const;
    void setMaximumImageCount(int count);
    int getMinimumImageCount() const;
    void setMinimumImageCount(int count);

    bool isEnabled() const;
    // True while a pass of this corrector is running (its thread only).
    bool isInPass() const { return passDepth > 0; }

signals:
    void s_getImageCount(int *count);
    void s_getTotalBytes(unsigned long long *bytes);
    void s_getOldestTime(
        QDateTime *usedTime, QString *uri, int *pageIndex, QSize *requestedSize, bool *valid);
    void s_removeImage(QString uri, int pageIndex, QSize requestSize);
    void s_clearAll();
    void s_getUriList(QStringList *list);
    void s_removeUriIfNotMatchHash(QString uri, QString hash);
    void s_removeOldestImages(int keepCount, unsigned long long byteLimit);

public slots:
    void start();
    void correct();
    void stop();
    void setEnabled(bool enabled);
    void onCacheTotalBytesChanged(qulonglong bytes);

protected:
    bool event(QEvent *event) override;

private:
    friend class ::tst_VlContentCacheCorrector;
    friend class VlContentCache;
    class PassScope;

    // The cache's first start, which arrives later through its thread's start; a stop() that
    // came first is the host's choice and is kept.
    void startUnlessStopped();

    int imageCount();

    // A child, so that it moves with the corrector.
    QTimer timer;
    mutable QRecursiveMutex enabledLock;
    bool enabled = false;
    int interval = 10000;
    int maximumImageCount = 20;
    int minimumImageCount = 1;
    quint64 maximumCacheSize = 104857600;
    mutable QRecursiveMutex maximumImageCountLock;
    mutable QRecursiveMutex minimumImageCountLock;
    mutable QRecursiveMutex maximumCacheSizeLock;
    int passDepth = 0;
    bool stopped = false;
    // A deletion that arrived while a pass was running; carried out when the pass is over.
    bool deleteAfterPass = false;
};

} // namespace Vela

#endif
