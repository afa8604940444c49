#include "VlMenuButton.h"

namespace Vela {

namespace {

// %1 is the font size in points. Some family names are not ASCII: this file is UTF-8 and
// the text is decoded as such.
const char *const BUTTON_STYLE_SHEET
    = "QPushButton {font-family: 'Yu Gothic UI', 'ヒラギノ角ゴ Pro W3', 'Hiragino Kaku Gothic Pro "
      "W3', 'メイリオ', Meiryo, 'ＭＳ Ｐゴシック', sans-serif; font-size: %1pt; font-weight: bold; "
      "text-align: left; padding: 0 1.0em; color: white; background-color: qlineargradient(x1: "
      "0, y1: 0, x2: 0, y2: 1,stop: 0 rgba(18, 62, 147, 20%), stop: 0.4 rgba(18, 62, 147, "
      "68%),stop: 0.5 rgba(18, 62, 147, 51%), stop: 1.0 rgba(18, 62, 147, 15%)); border-style: "
      "outset; border-width: 2; border-color: rgba(255, 255, 255, 51%);}QPushButton::hover "
      "{background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,stop: 0 rgba(48, 92, 177, "
      "20%), stop: 0.4 rgba(48, 92, 177, 68%),stop: 0.5 rgba(48, 92, 177, 51%), stop: 1.0 "
      "rgba(48, 92, 177, 15%));}QPushButton::pressed {background-color: qlineargradient(x1: 0, "
      "y1: 0, x2: 0, y2: 1,stop: 0 rgba(28, 72, 255, 20%), stop: 0.4 rgba(28, 72, 255, "
      "68%),stop: 0.5 rgba(28, 72, 255, 51%), stop: 1.0 rgba(28, 72, 255, 15%));}";

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
    return QString::fromUtf8(BUTTON_STYLE_SHEET).arg(pointSize);
}

} // namespace Vela
