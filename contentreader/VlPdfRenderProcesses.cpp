#include "VlPdfRenderProcesses.h"

#include "VlPdfRenderPool.h"

namespace Vela {

void VlPdfRenderProcesses::startAhead()
{
    if (!VlPdfRenderPool::supported() || VlPdfRenderPool::processCount() <= 0)
        return;
    if (VlPdfRenderPool *pool = VlPdfRenderPool::instance())
        pool->prestart();
}

} // namespace Vela
