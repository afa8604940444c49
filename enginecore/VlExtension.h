#ifndef VELA_VLEXTENSION_H
#define VELA_VLEXTENSION_H

#include "MediaType.h"
#include "vlcore_export.h"

#include <QString>

namespace Vela {

// Maps a file-name suffix to the engine's media type. Cheap to construct; safe to use from
// any thread.
class VLCORE_EXPORT VlExtension
{
public:
    VlExtension();
    ~VlExtension();

    // The suffix is compared without regard to case and without a leading dot.
    MediaType::MediaTypes getMediaType(QString suffix) const;
};

} // namespace Vela

#endif
