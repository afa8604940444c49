#ifndef VELA_VLCONTENTPAGE_H
#define VELA_VLCONTENTPAGE_H

#include <QDateTime>
#include <QImage>
#include <QMap>
#include <QSize>
#include <QString>

#include <memory>

namespace Vela {

// The images of one page of a content, one per requested size. The cache guards every
// instance with its contents lock; the class itself is a plain record.
class VlContentPage
{
public:
    struct ImageInfo
    {
        std::shared_ptr<QImage> image;
        QDateTime usedTime;
        // The image's size in bytes when it was stored. Holders get a writable image and
        // may change it, so the total is kept with this figure, never with the image's own.
        quint64 bytes = 0;
    };

    // Keyed by the size key of the requested size, in string order.
    QMap<QString, std::shared_ptr<ImageInfo>> images;

    // "800x600" for QSize(800, 600), "-1x-1" for the natural size QSize().
    static QString sizeKey(const QSize &requestedSize);
    // The size a key names; QSize() for anything that is not two integers around an "x".
    static QSize sizeFromKey(const QString &key);
};

} // namespace Vela

#endif
