#ifndef VELA_VLMENUBUTTON_H
#define VELA_VLMENUBUTTON_H

#include <QPushButton>

namespace Vela {

// One of the start menu's glassy push buttons. Starts at 11 points; the start menu replaces
// the maximum size and the font size as the menu grows.
class VlMenuButton : public QPushButton
{
    Q_OBJECT

public:
    VlMenuButton(const QString &text, QWidget *parent);

    // The style sheet of every menu button with the given font size in points.
    static QString buttonStyleSheet(double pointSize);
};

} // namespace Vela

#endif
