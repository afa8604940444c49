#ifndef VELA_MEDIATYPE_H
#define VELA_MEDIATYPE_H

#include "vlcore_export.h"

#include <QObject>

namespace Vela {

// The kind of a content file as the engine sees it. The values are stored by peers, so
// the order of the enumerators is fixed: image is 1 and pdf is 4.
class VLCORE_EXPORT MediaType
{
    Q_GADGET
public:
    enum MediaTypes { unKnown, image, movie, flash, pdf, web, telop, folder, extended };
    Q_ENUM(MediaTypes)

    // The name of a media type ("unKnown", "image", ...), empty for a value out of range.
    static QString name(MediaTypes type);
};

} // namespace Vela

#endif
