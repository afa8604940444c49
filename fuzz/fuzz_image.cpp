#include "FuzzTargets.h"

#include <VlContentCache.h>
#include <VlContentReader_Thr_p.h>
#include <VlExtension.h>
#include <VlImageMeasure.h>

#include <QCoreApplication>
#include <QFile>
#include <QImageReader>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>

using namespace Vela;

namespace {

// Every suffix the reader takes for a still image, in a fixed order.
QStringList imageSuffixes()
{
    QStringList suffixes;
    const auto formats = QImageReader::supportedImageFormats();
    for (const QByteArray &format : formats) {
        const QString suffix = QString::fromLatin1(format).toLower();
        if (VlExtension().getMediaType(suffix) == MediaType::image && !suffixes.contains(suffix))
            suffixes << suffix;
    }
    std::sort(suffixes.begin(), suffixes.end());
    return suffixes;
}

} // namespace

namespace VelaFuzz {

bool image(const QByteArray &input)
{
    ensureApplication();
    static const QStringList suffixes = imageSuffixes();
    static QTemporaryDir dir;
    if (!dir.isValid() || suffixes.isEmpty())
        return check(false, "a temporary folder and image suffixes");

    // The reader decides the format from the content; the suffix only makes the file an
    // image to it. The input's length picks one, so every suffix is tried over a run without
    // making each run several times slower.
    const QString suffix = suffixes.at(input.size() % suffixes.size());
    const QString file = dir.filePath(QStringLiteral("input.%1").arg(suffix));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(input) != input.size())
        return check(false, "writing the input file");
    out.close();

    VlContentCache *cache = VlContentCache::instance();
    bool ok = true;
    {
        VlContentReader_Thr worker(file, nullptr);
        VlContentReader_ThrProbe::readNow(&worker, 0);
    }
    if (const auto decoded = cache->getImage(file, 0)) {
        const quint64 limit = VlContentReader_Thr::decodeLimit(cache->getMaximumCacheSize());
        ok &= check(quint64(decoded->sizeInBytes()) <= limit, "a cached image within the limit");
        // The refusal rests on the measure, so it must never see less than was decoded.
        const QByteArray format = VlImageMeasure::decoderFormat(input, suffix);
        ok &= check(VlImageMeasure::decodedBytes(input, limit, QSize(), format)
                >= quint64(decoded->sizeInBytes()),
            "the measure covers what was decoded");
    }
    cache->clearAll();
    // Whatever the read posted for the cache and the application is delivered, so that
    // nothing piles up over millions of runs.
    QCoreApplication::processEvents();
    return ok;
}

} // namespace VelaFuzz
