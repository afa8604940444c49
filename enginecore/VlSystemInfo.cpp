#include "VlSystemInfo.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace Vela {

double VlSystemInfo::getDpiRatio(QWidget *widget)
{
    bool ok = false;
    const double forced = qEnvironmentVariable("VELA_DPI_RATIO").toDouble(&ok);
    if (ok && forced > 0 && qIsFinite(forced))
        return forced;

    QScreen *screen = nullptr;
    if (widget) {
        const QWidget *top = widget->window();
        if (top && top->windowHandle())
            screen = top->windowHandle()->screen();
    }
    if (!screen && qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        const double ratio = screen->logicalDotsPerInch() / 96.0;
        if (ratio > 0 && qIsFinite(ratio))
            return ratio;
    }
    return 1.0;
}

} // namespace Vela
