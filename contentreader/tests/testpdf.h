#ifndef VELA_TESTPDF_H
#define VELA_TESTPDF_H

// PDF documents made by the tests themselves, so that no document lives in the repository.

#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QList>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QSize>
#include <QStandardPaths>
#include <QString>

#include <pdffixtures.h>

namespace TestPdf {

// Page i measures pageSize(i) points, so a rendered page tells by its size which page it is.
inline QSize pageSize(int page)
{
    return QSize(120 + 20 * page, 90 + 10 * page);
}

inline QColor pageColour(int page)
{
    return QColor::fromHsv((page * 40) % 360, 220, 200);
}

// Every page is painted in its own colour except its top-left quarter, where the page draws
// nothing and the renderer leaves the background transparent. variant shifts the sizes, so
// that a rewritten document differs from the first in its bytes and its pages.
inline bool writePdf(const QString &path, int pages, int variant = 0)
{
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    QPainter painter;
    for (int i = 0; i < pages; ++i) {
        const QSize size = pageSize(i + variant);
        writer.setPageSize(
            QPageSize(QSizeF(size), QPageSize::Point, QString(), QPageSize::ExactMatch));
        if (i == 0) {
            if (!painter.begin(&writer))
                return false;
        } else if (!writer.newPage()) {
            return false;
        }
        const QRect page(QPoint(0, 0), size);
        painter.fillRect(page.adjusted(0, size.height() / 2, 0, 0), pageColour(i + variant));
        painter.fillRect(page.adjusted(size.width() / 2, 0, 0, 0), pageColour(i + variant));
        // Soft edges reach into the empty quarter, for partly transparent pixels.
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(250, 200, 20, 160));
        painter.drawEllipse(QRectF(
            size.width() / 8.0, size.height() / 8.0, size.width() / 5.0, size.height() / 5.0));
    }
    return painter.end();
}

// The document with its object markers broken, so that no parser finds its pages.
inline QByteArray damaged(const QString &validPdf)
{
    QFile file(validPdf);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray bytes = file.readAll();
    bytes.replace(" obj", " jbo");
    bytes.replace("xref", "fxer");
    bytes.replace("trailer", "reliart");
    return bytes;
}

// One page of 14400 x 14400 points, the largest a PDF page may be: a few hundred bytes that
// would draw to 790 MiB at natural size.
inline void writePosterPdf(const QString &path)
{
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setPageSize(
        QPageSize(QSizeF(14400, 14400), QPageSize::Point, QString(), QPageSize::ExactMatch));
    QPainter painter(&writer);
    painter.fillRect(QRect(0, 0, 7200, 7200), Qt::red);
}

// A copy that needs a user password to open. False when qpdf is not installed.
inline bool writeEncrypted(const QString &source, const QString &target)
{
    if (QStandardPaths::findExecutable(QStringLiteral("qpdf")).isEmpty())
        return false;
    QProcess qpdf;
    qpdf.start(QStringLiteral("qpdf"),
        {QStringLiteral("--encrypt"), QStringLiteral("user-secret"), QStringLiteral("owner-secret"),
            QStringLiteral("256"), QStringLiteral("--"), source, target});
    return qpdf.waitForFinished(30000) && qpdf.exitStatus() == QProcess::NormalExit
        && qpdf.exitCode() == 0;
}

// One page that draws a form which draws the form below it copies times over, depth levels
// deep: a few hundred bytes that cost PDFium copies^depth drawings, and memory to match.
inline bool writeNestedForms(const QString &path, int depth, int copies)
{
    QList<QByteArray> objects;
    const int firstForm = 5;
    const int top = firstForm + depth;
    objects << "<< /Type /Catalog /Pages 2 0 R >>"
            << "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"
            << QByteArray("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 400] /Contents 4 0 R "
                          "/Resources << /XObject << /F ")
            + QByteArray::number(top) + " 0 R >> >> >>";
    const auto stream = [](const QByteArray &dictionary, const QByteArray &content) {
        return "<< " + dictionary + " /Length " + QByteArray::number(content.size())
            + " >>\nstream\n" + content + "\nendstream";
    };
    objects << stream(QByteArray(), "/F Do");
    objects << stream("/Type /XObject /Subtype /Form /BBox [0 0 400 400]",
        "0.2 0.4 0.8 rg 10 10 380 380 re f 0.8 0.2 0.2 RG 2 w 20 20 m 380 380 l S");
    for (int level = 1; level <= depth; ++level) {
        QByteArray content;
        for (int i = 0; i < copies; ++i) {
            content += "q 0.9 0 0 0.9 " + QByteArray::number(i % 5) + " "
                + QByteArray::number(i / 5) + " cm /F Do Q\n";
        }
        objects << stream("/Type /XObject /Subtype /Form /BBox [0 0 400 400] /Resources "
                          "<< /XObject << /F "
                + QByteArray::number(firstForm + level - 1) + " 0 R >> >>",
            content);
    }
    const QByteArray pdf = PdfFixtures::assembled(objects);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(pdf) == pdf.size();
}

} // namespace TestPdf

#endif
