#include "FuzzTargets.h"

#include <VlContentCache.h>
#include <VlContentReader_Thr_p.h>
#include <VlPdf.h>

#include <QCoreApplication>
#include <QFile>
#include <QMutexLocker>
#include <QTemporaryDir>

#include <cmath>
#include <memory>

using namespace Vela;
using VelaFuzz::check;

namespace {

// Pages are drawn at natural size only up to this many points a side: the library draws
// whatever a page declares and leaves the check to its caller, and large pages would only
// slow the fuzzer down.
constexpr double largestNaturalSide = 1200;
constexpr int pagesDrawn = 3;
const QSize requested(48, 48);

bool naturalSizeDrawable(const QSizeF &points)
{
    return std::isfinite(points.width()) && std::isfinite(points.height()) && points.width() >= 1
        && points.height() >= 1 && points.width() <= largestNaturalSide
        && points.height() <= largestNaturalSide;
}

bool throughLibrary(const QByteArray &input, QSizeF *firstPage)
{
    bool ok = true;
    VlPdf pdf(nullptr);
    QMutexLocker globalLocker(VlPdf::globalLocker());
    if (!pdf.load(std::make_shared<QByteArray>(input), QString()))
        return true;
    const int count = pdf.pageCount();
    for (int page = 0; page < qMin(count, pagesDrawn); ++page) {
        const QSizeF points = pdf.pageSize(page);
        if (page == 0)
            *firstPage = points;
        if (naturalSizeDrawable(points)) {
            // PDFium may refuse to load a damaged page again after it was loaded once for its
            // size; render() then reports the failure, which is all a caller can ask of it.
            const auto natural = pdf.render(page, QSize());
            if (natural)
                ok &= check(natural->size() == QSize(int(points.width()), int(points.height())),
                    "a page drawn at natural size has the size of its points");
        }
        const auto fitted = pdf.render(page, requested);
        if (fitted && !fitted->isNull())
            ok &= check(
                fitted->width() <= requested.width() && fitted->height() <= requested.height(),
                "a page drawn at a requested size fits in it");
    }
    pdf.close();
    return ok;
}

// The same bytes as a document file through the reader's own read step.
bool throughReader(const QByteArray &input)
{
    static QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("input.pdf"));
    QFile out(file);
    if (!dir.isValid() || !out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(input) != input.size())
        return check(false, "writing the input file");
    out.close();

    VlContentCache *cache = VlContentCache::instance();
    {
        VlContentReader_Thr worker(file, nullptr);
        VlContentReader_ThrProbe::readNow(&worker, 0);
    }
    bool ok = true;
    if (const auto page = cache->getImage(file, 0)) {
        const quint64 limit = VlContentReader_Thr::decodeLimit(cache->getMaximumCacheSize());
        ok &= check(quint64(page->sizeInBytes()) <= limit, "a cached page within the limit");
    }
    cache->clearAll();
    QCoreApplication::processEvents();
    return ok;
}

} // namespace

namespace VelaFuzz {

bool pdf(const QByteArray &input)
{
    ensureApplication();
    QSizeF firstPage;
    bool ok = throughLibrary(input, &firstPage);
    // The reader draws the page it is asked for at natural size up to its decode limit; a
    // page larger than the fuzzer's own bound but within that limit is left out for speed,
    // a larger one is read to prove the refusal.
    const bool refusedBySize = std::isfinite(firstPage.width()) && std::isfinite(firstPage.height())
        && firstPage.width() * firstPage.height() * 4 > double(
               VlContentReader_Thr::decodeLimit(VlContentCache::instance()->getMaximumCacheSize()));
    if (firstPage.isEmpty() || naturalSizeDrawable(firstPage) || refusedBySize)
        ok &= throughReader(input);
    return ok;
}

} // namespace VelaFuzz
