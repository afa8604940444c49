#ifndef VELA_VLEDITORSTARTMENU_P_H
#define VELA_VLEDITORSTARTMENU_P_H

// Not installed: the menu's inner parts, for this library's own code and its tests. Hosts
// see only the widget and its signals.

#include "VlEditorStartMenu.h"

namespace Vela {

class VlEditorStartMenuPrivate
{
public:
    // The four menu buttons in layout order: stage editor, scheduler, configuration, exit.
    static const VlWidgetContainer &buttons(const VlEditorStartMenu &menu)
    {
        return menu.m_buttons;
    }
    static QWidget *waitingWidget(const VlEditorStartMenu &menu) { return menu.m_waitingWidget; }
    static QSvgRenderer *svgRenderer(const VlEditorStartMenu &menu) { return menu.m_svgRenderer; }
    // The artwork's SVG text that the renderer was last loaded from.
    static QString *svgData(const VlEditorStartMenu &menu) { return menu.m_svgData; }
};

} // namespace Vela

#endif
