#include "FuzzTargets.h"

#include <VlEditorStartMenu.h>

#include <QCoreApplication>
#include <QImage>
#include <QStringList>

using namespace Vela;

namespace {

// Small, so that each run draws quickly; the drawing is scaled to the width anyway.
const QSize menuSize(160, 96);

QImage drawn(VlEditorStartMenu *menu)
{
    QImage image(menu->size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    menu->render(&image);
    return image;
}

struct Artwork
{
    VlEditorStartMenu menu;
    // What the menu shows with every label hidden, and with each real label shown.
    QImage hidden;
    QStringList editions = {
        QStringLiteral("Standard"), QStringLiteral("MultiChannel"), QStringLiteral("Professional")};
    QList<QImage> labelled;

    Artwork()
    {
        menu.resize(menuSize);
        // The first drawing lays the buttons out; only later ones are alike.
        drawn(&menu);
        QCoreApplication::processEvents();
        menu.setEditionText(QString());
        hidden = drawn(&menu);
        for (const QString &edition : editions) {
            menu.setEditionText(edition);
            labelled << drawn(&menu);
        }
    }
};

} // namespace

namespace VelaFuzz {

bool artwork(const QByteArray &input)
{
    ensureApplication();
    // Made once: building a menu costs far more than a run.
    static Artwork *artwork = new Artwork;
    bool ok = check(artwork->hidden != artwork->labelled.value(0), "the labels draw");

    const QString text = QString::fromUtf8(input);
    artwork->menu.setEditionText(text);
    ok &= check(artwork->menu.editionText() == text, "the edition text is kept");
    // Only a text naming a label shows it; any other text leaves the drawing with every
    // label hidden, and never breaks it.
    const int edition = artwork->editions.indexOf(text);
    const QImage expected = edition >= 0 ? artwork->labelled.at(edition) : artwork->hidden;
    ok &= check(drawn(&artwork->menu) == expected, "the artwork draws as its edition says");
    return ok;
}

} // namespace VelaFuzz
