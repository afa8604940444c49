#ifndef VELA_VLPAGEMEMORY_H
#define VELA_VLPAGEMEMORY_H

// Not installed: the memory of the PDF pages the content reader draws.

#include <QImage>
#include <QSize>

#include <memory>

namespace Vela {

// A drawn page is megabytes of memory that is new to the process, and the first write to each
// 4 KiB of it faults into the kernel: on a virtual machine about 11 µs each, 5 ms for a 2 MB
// page, more than drawing a text page. Where the system offers transparent huge pages on
// request, a page's memory is asked for in 2 MiB pieces, one fault each. Its end is rounded up
// to a whole piece only when that adds at most an eighth of the page; otherwise the last,
// partial piece is ordinary memory. Pages of less than 1 MiB take ordinary memory throughout.
class VlPageMemory
{
public:
    // A page of size pixels in format, not initialised; null when the memory cannot be had.
    static std::shared_ptr<QImage> image(const QSize &size, QImage::Format format);
};

} // namespace Vela

#endif
