#include "VlMenuButton.h"

namespace Vela {

namespace {

// %1 is the font size in points. The non-ASCII family names are written as escapes in a
// UTF-16 literal, so no compiler's idea of the source or execution character set can
// change them.
const char16_t BUTTON_STYLE_SHEET[]
    = u"QPushButton {font-family: 'Yu Gothic UI', '\u30D2\u30E9\u30AE\u30CE\u89D2\u30B4 Pro W3', "
      u"'Hiragino Kaku Gothic Pro "
      u"W3', '\u30E1\u30A4\u30EA\u30AA', Meiryo, '\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF', "
      u"sans-serif; font-size: %1pt; font-weight: bold; "
      u"text-align: left; padding: 0 1.0em; color: white; background-color: qlineargradient(x1: "
      u"0, y1: 0, x2: 0, y2: 1,stop: 0 rgba(18, 62, 147, 20%), stop: 0.4 rgba(18, 62, 147, "
      u"68%),stop: 0.5 rgba(18, 62, 147, 51%), stop: 1.0 rgba(18, 62, 147, 15%)); border-style: "
      u"outset; border-width: 2; border-color: rgba(255, 255, 255, 51%);}QPushButton::hover "
      u"{background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,stop: 0 rgba(48, 92, 177, "
      u"20%), stop: 0.4 rgba(48, 92, 177, 68%),stop: 0.5 rgba(48, 92, 177, 51%), stop: 1.0 "
      u"rgba(48, 92, 177, 15%));}QPushButton::pressed {background-color: qlineargradient(x1: 0, "
      u"y1: 0, x2: 0, y2: 1,stop: 0 rgba(28, 72, 255, 20%), stop: 0.4 rgba(28, 72, 255, "
      u"68%),stop: 0.5 rgba(28, 72, 255, 51%), stop: 1.0 rgba(28, 72, 255, 15%));}";

} // namespace

VlMenuButton::VlMenuButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
    setMinimumSize(128, 32);
    setMaximumSize(256, 48);
    setStyleSheet(buttonStyleSheet(11.0));
}

QString VlMenuButton::buttonStyleSheet(double pointSize)
{
    return QString::fromUtf16(BUTTON_STYLE_SHEET).arg(pointSize);
}

} // namespace Vela
