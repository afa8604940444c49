#ifndef VELA_VLCONTENTREADER_THR_P_H
#define VELA_VLCONTENTREADER_THR_P_H

// Not installed: reaches into a worker from white-box tests and fuzz targets.

#include "VlContentReader_Thr.h"

#include <functional>
#include <utility>

namespace Vela {

class VlContentReader_ThrProbe
{
public:
    // The hook runs after a content's bytes were read and before anything is recorded for
    // them, so a caller can replace the file at the worst moment.
    static void setContentReadHook(VlContentReader_Thr *worker, std::function<void()> hook)
    {
        worker->contentReadHook = std::move(hook);
    }

    // One read step now, in the calling thread and without an event loop: the worker's real
    // read, with its size checks, cache insertion and signals.
    static void readNow(VlContentReader_Thr *worker, int pageIndex)
    {
        worker->readContent(pageIndex, QSize());
    }
};

} // namespace Vela

#endif
