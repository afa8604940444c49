#ifndef VELA_BENCH_BENCHDOCUMENTS_H
#define VELA_BENCH_BENCHDOCUMENTS_H

// The documents that the PDF benchmarks read: generated ones, the same on every machine, and
// the PDFs of this machine's documentation.

#include <QColor>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QStringList>

#include <algorithm>

enum class GeneratedContent { Shapes, Photos, TextOnly };

// Text and translucent shapes on every page; with photos, every page also carries a large
// embedded image, which makes a file of several MiB; text only makes light pages, whose
// rendering costs little beside loading the document. photoPages pages with photos follow.
// Every third page is landscape.
inline bool writeGeneratedPdf(
    const QString &path, int pages, GeneratedContent content, int photoPages = 0)
{
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    QPainter painter;
    for (int i = 0; i < pages + photoPages; ++i) {
        const GeneratedContent pageContent = i < pages ? content : GeneratedContent::Photos;
        const bool photos = pageContent == GeneratedContent::Photos;
        const QSizeF size = i % 3 == 1 ? QSizeF(842, 595) : QSizeF(595, 842);
        writer.setPageSize(QPageSize(size, QPageSize::Point, QString(), QPageSize::ExactMatch));
        if (i == 0) {
            if (!painter.begin(&writer))
                return false;
        } else {
            writer.newPage();
        }
        painter.setRenderHint(QPainter::Antialiasing);
        if (photos) {
            QImage photo(800, 600, QImage::Format_RGB32);
            for (int y = 0; y < photo.height(); ++y) {
                auto *line = reinterpret_cast<QRgb *>(photo.scanLine(y));
                for (int x = 0; x < photo.width(); ++x)
                    line[x] = qRgb((x * 7 + y * 3 + i * 31) & 255, ((x ^ y) * 5 + i) & 255,
                        (x * y / 97 + i * 11) & 255);
            }
            painter.drawImage(QRectF(20, 20, size.width() - 40, size.height() / 2), photo);
        }
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 10));
        for (int line = 0; line * 14 + 60 < size.height() - 40; ++line)
            painter.drawText(QPointF(40, 60 + line * 14),
                QStringLiteral("Page %1, line %2: the quick brown fox jumps over the lazy dog.")
                    .arg(i + 1)
                    .arg(line + 1));
        for (int k = 0; pageContent != GeneratedContent::TextOnly && k < 30; ++k) {
            painter.setPen(QPen(QColor::fromHsv((k * 12 + i * 7) % 360, 200, 200), 2));
            painter.setBrush(QColor::fromHsv((k * 12) % 360, 120, 240, 90));
            painter.drawEllipse(
                QPointF(size.width() / 2, size.height() / 2), 20 + k * 8, 10 + k * 5);
        }
    }
    return painter.end();
}

// Copies of the PDFs under /usr/share/doc in scratch, sorted by their original path; compressed
// ones are unpacked under a name that still ends in .pdf, which the reader needs to know them
// as documents. Empty on a machine without them.
inline QStringList documentationPdfs(const QString &scratch)
{
    QStringList found;
    QDirIterator it(QStringLiteral("/usr/share/doc"),
        {QStringLiteral("*.pdf"), QStringLiteral("*.pdf.gz")}, QDir::Files,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(it.next());
    std::sort(found.begin(), found.end());
    QStringList copies;
    for (const QString &file : qAsConst(found)) {
        QString path = scratch + '/' + QFileInfo(file).fileName();
        if (file.endsWith(QLatin1String(".gz"))) {
            path = scratch + '/' + QFileInfo(file).completeBaseName();
            QProcess gzip;
            gzip.setStandardOutputFile(path);
            gzip.start(QStringLiteral("gzip"), {QStringLiteral("-dc"), file});
            if (!gzip.waitForFinished(60000) || gzip.exitCode() != 0)
                continue;
        } else if (!QFile::copy(file, path)) {
            continue;
        }
        copies.append(path);
    }
    return copies;
}

#endif
