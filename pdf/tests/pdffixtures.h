#ifndef VELA_TESTS_PDFFIXTURES_H
#define VELA_TESTS_PDFFIXTURES_H

// Test documents made on the fly, so that no PDF has to live in the repository.

#include <QByteArray>
#include <QColor>
#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QList>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QSizeF>
#include <QStandardPaths>
#include <QString>
#include <QVector>

namespace PdfFixtures {

// QPdfWriter writes whole points; the page that checks truncation is patched to these
// sizes afterwards, in place and with the same number of bytes.
inline QSizeF fractionalA4()
{
    return QSizeF(595.3, 841.9);
}

// Pages are filled with an opaque colour except for their top-left quarter, which stays
// empty so that the transparent background can be seen.
inline bool writePdf(const QString &path, const QVector<QSizeF> &pages)
{
    {
        QPdfWriter writer(path);
        writer.setResolution(72);
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        QPainter painter;
        for (int i = 0; i < pages.size(); ++i) {
            QSizeF size = pages.at(i);
            if (size == fractionalA4())
                size = QSizeF(595, 842);
            writer.setPageSize(QPageSize(size, QPageSize::Point, QString(), QPageSize::ExactMatch));
            if (i == 0) {
                if (!painter.begin(&writer))
                    return false;
            } else {
                writer.newPage();
            }
            const QRectF page(QPointF(0, 0), size);
            painter.fillRect(page.adjusted(0, size.height() / 2, 0, 0), QColor(20, 60, 200));
            painter.fillRect(page.adjusted(size.width() / 2, 0, 0, 0), QColor(200, 30, 30));
            painter.drawText(page.adjusted(10, size.height() / 2 + 10, 0, 0),
                QStringLiteral("Page %1").arg(i + 1));
        }
        painter.end();
    }
    if (!pages.contains(fractionalA4()))
        return true;

    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    const QByteArray rounded("/MediaBox [0 0 595.000000 842.000000]");
    const QByteArray exact("/MediaBox [0 0 595.300000 841.900000]");
    if (rounded.size() != exact.size() || !bytes.contains(rounded))
        return false;
    bytes.replace(rounded, exact);
    file.seek(0);
    return file.write(bytes) == bytes.size();
}

// The SHA-1 of an image's pixels, row by row without the padding, in hexadecimal: what the
// pixel tests pin, since format, premultiplication, background and row layout all show in it.
inline QByteArray pixelDigest(const QImage &image)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    const int rowBytes = image.width() * image.depth() / 8;
    for (int y = 0; y < image.height(); ++y)
        hash.addData(QByteArray::fromRawData(
            reinterpret_cast<const char *>(image.constScanLine(y)), rowBytes));
    return hash.result().toHex();
}

// A document of these objects, numbered from 1, the first being the catalog, with its
// cross-reference table.
inline QByteArray assembled(const QList<QByteArray> &objects)
{
    QByteArray pdf = "%PDF-1.4\n";
    QList<int> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const int xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (int offset : offsets)
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1)
        + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

// A one-page drawing of 40 x 30 points written byte by byte, so that it is the same file
// whatever Qt version runs the test: opaque fills, a half-transparent fill over them and over
// the empty background, and an anti-aliased diagonal stroke.
inline QByteArray drawingPdf()
{
    const QByteArray content = "0.8 0.1 0.1 rg 0 0 40 15 re f\n"
                               "0.1 0.2 0.9 rg 20 0 20 30 re f\n"
                               "/Half gs 0 0.6 0 rg 5 5 30 20 re f\n"
                               "0 0 0 RG 1.5 w 3 27 m 37 3 l S\n";
    const QList<QByteArray> objects
        = {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 40 30] /Contents 4 0 R"
            " /Resources << /ExtGState << /Half << /ca 0.5 >> >> >> >>",
            "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content
                + "endstream"};
    return assembled(objects);
}

// An AES-256 encrypted copy that needs a user password to open. Empty when qpdf is missing.
inline bool writeEncrypted(const QString &source, const QString &target, const QString &password)
{
    if (QStandardPaths::findExecutable(QStringLiteral("qpdf")).isEmpty())
        return false;
    QProcess qpdf;
    qpdf.start(QStringLiteral("qpdf"),
        {QStringLiteral("--encrypt"), password, QStringLiteral("owner-secret"),
            QStringLiteral("256"), QStringLiteral("--"), source, target});
    return qpdf.waitForFinished(30000) && qpdf.exitStatus() == QProcess::NormalExit
        && qpdf.exitCode() == 0;
}

} // namespace PdfFixtures

#endif
