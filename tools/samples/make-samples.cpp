// Writes the bundled samples of vela-content: a three-page PDF (portrait, landscape, and a
// page that leaves most of its area unpainted) and a PNG with an alpha channel.
// Usage: vela-make-samples DIR
#include <VlToolCommandLine.h>

#include <QCommandLineParser>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <cstdio>

static void drawPanel(
    QPainter &p, const QRectF &r, const QColor &from, const QColor &to, const QString &title)
{
    QLinearGradient g(r.topLeft(), r.bottomRight());
    g.setColorAt(0, from);
    g.setColorAt(1, to);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(r, r.height() / 12, r.height() / 12);
    p.setPen(Qt::white);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(int(r.height() / 6));
    f.setBold(true);
    p.setFont(f);
    p.drawText(r, Qt::AlignCenter, title);
}

int main(int argc, char **argv)
{
    QGuiApplication::setApplicationName(QStringLiteral("vela-make-samples"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Draws the bundled samples of vela-content into the folder DIR."));
    parser.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("Folder for the samples."));
    Vela::VlToolCommandLine commandLine(parser, argc, argv);
    const int answered = commandLine.answer(Vela::VlToolCommandLine::QtOptionsAccepted);
    if (answered != Vela::VlToolCommandLine::Proceed)
        return answered;

    // It draws into files and never shows a window, so it needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int reread = commandLine.reread(1);
    if (reread != Vela::VlToolCommandLine::Proceed)
        return reread;

    QDir dir(parser.positionalArguments().constFirst());
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "vela-make-samples: cannot create the folder %s\n",
            qPrintable(QDir::toNativeSeparators(dir.path())));
        return 1;
    }

    const QString pdfPath = dir.filePath(QStringLiteral("vela-brochure.pdf"));
    QPdfWriter pdf(pdfPath);
    pdf.setCreator(QStringLiteral("vela-make-samples"));
    pdf.setTitle(QStringLiteral("Vela sample"));
    pdf.setResolution(72);
    pdf.setPageSize(QPageSize(QPageSize::A5));
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
    {
        QPainter p(&pdf);
        if (!p.isActive()) {
            std::fprintf(stderr, "vela-make-samples: cannot write %s\n",
                qPrintable(QDir::toNativeSeparators(pdfPath)));
            return 1;
        }
        const QRectF page(0, 0, pdf.width(), pdf.height());
        p.fillRect(page, QColor(250, 248, 240));
        drawPanel(p, page.adjusted(30, 40, -30, -page.height() / 2), QColor(20, 80, 160),
            QColor(40, 170, 200), QStringLiteral("Vela 1"));
        p.setPen(QColor(30, 30, 30));
        p.drawText(page.adjusted(30, page.height() / 2 + 20, -30, -30), Qt::TextWordWrap,
            QStringLiteral("A portrait A5 page drawn by the sample generator."));

        pdf.setPageOrientation(QPageLayout::Landscape);
        pdf.newPage();
        const QRectF wide(0, 0, pdf.width(), pdf.height());
        p.fillRect(wide, QColor(20, 24, 32));
        drawPanel(p, wide.adjusted(40, 40, -40, -40), QColor(200, 90, 30), QColor(230, 180, 40),
            QStringLiteral("Vela 2"));

        pdf.setPageOrientation(QPageLayout::Portrait);
        pdf.newPage();
        // Nothing is painted outside this panel: the reader stores such areas white.
        drawPanel(p, QRectF(60, 80, 200, 120), QColor(30, 140, 70), QColor(120, 200, 90),
            QStringLiteral("3"));
    }

    QImage image(320, 200, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(40, 120, 220, 230));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(20, 20, 160, 160));
        p.setBrush(QColor(240, 160, 30, 200));
        p.drawRoundedRect(QRectF(140, 50, 160, 110), 18, 18);
    }
    const QString pngPath = dir.filePath(QStringLiteral("vela-logo.png"));
    if (!image.save(pngPath, "PNG")) {
        std::fprintf(stderr, "vela-make-samples: cannot write %s\n",
            qPrintable(QDir::toNativeSeparators(pngPath)));
        return 1;
    }
    return 0;
}
