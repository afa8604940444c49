#include "VlPageMemory.h"

#include <limits>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace Vela {

namespace {

#ifdef Q_OS_LINUX
constexpr std::size_t hugePage = 2 * 1024 * 1024;
constexpr std::size_t smallestHugeImage = 1024 * 1024;

struct Mapping
{
    void *address;
    std::size_t size;
};

void unmap(void *info)
{
    auto *mapping = static_cast<Mapping *>(info);
    munmap(mapping->address, mapping->size);
    delete mapping;
}

// size bytes at a huge page boundary, the end rounded to a whole huge page when that wastes
// at most an eighth; null when the system refuses the mapping.
Mapping *hugeMapping(std::size_t size)
{
    const std::size_t pageSize = std::size_t(sysconf(_SC_PAGESIZE));
    std::size_t length = (size + pageSize - 1) / pageSize * pageSize;
    const std::size_t whole = (size + hugePage - 1) / hugePage * hugePage;
    if (whole - size <= size / 8)
        length = whole;
    // Over-asked by a huge page, then trimmed to the boundary.
    void *area = mmap(
        nullptr, length + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<quintptr>(area);
    const quintptr aligned = (start + hugePage - 1) / hugePage * hugePage;
    if (aligned > start)
        munmap(area, aligned - start);
    const std::size_t after = (start + length + hugePage) - (aligned + length);
    if (after > 0)
        munmap(reinterpret_cast<void *>(aligned + length), after);
    void *address = reinterpret_cast<void *>(aligned);
    // Only a request: without huge pages on offer this is ordinary memory.
    madvise(address, length, MADV_HUGEPAGE);
    return new Mapping {address, length};
}
#endif

} // namespace

std::shared_ptr<QImage> VlPageMemory::image(const QSize &size, QImage::Format format)
{
#ifdef Q_OS_LINUX
    if (!size.isEmpty()) {
        const int depth = QImage::toPixelFormat(format).bitsPerPixel();
        const qint64 bytesPerLine = ((qint64(size.width()) * depth + 31) >> 5) << 2;
        const qint64 bytes = bytesPerLine * size.height();
        if (bytes >= qint64(smallestHugeImage) && bytesPerLine <= std::numeric_limits<int>::max()) {
            if (Mapping *mapping = hugeMapping(std::size_t(bytes))) {
                auto image = std::make_shared<QImage>(static_cast<uchar *>(mapping->address),
                    size.width(), size.height(), int(bytesPerLine), format, &unmap, mapping);
                if (!image->isNull())
                    return image;
                unmap(mapping);
            }
        }
    }
#endif
    auto image = std::make_shared<QImage>(size, format);
    return image->isNull() ? nullptr : image;
}

} // namespace Vela
