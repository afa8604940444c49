#ifndef VELA_VLDECODEREFUSALS_H
#define VELA_VLDECODEREFUSALS_H

// Not installed: the library's own tools ask here why the reader refused a content.

#include "vlcontentreader_export.h"

#include <QString>

namespace Vela {

// Which contents the reader last refused because decoding them would pass its decode limit.
// The reader gives one message for every unreadable image and every page it cannot draw; a
// tool that explains failures asks here rather than opening the file again with a decoder of
// its own, which would allocate all that the reader refused to. Thread-safe.
class VLCONTENTREADER_EXPORT VlDecodeRefusals
{
public:
    // True when the last read of this uri and page (as requested) was refused for what it
    // would decode to. Only the most recent refusals are remembered.
    static bool refusedForSize(const QString &uri, int pageIndex);
    // Recorded by the worker at the end of every read of an image or document page.
    static void record(const QString &uri, int pageIndex, bool refusedForSize);
};

} // namespace Vela

#endif
