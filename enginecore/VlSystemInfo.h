#ifndef VELA_VLSYSTEMINFO_H
#define VELA_VLSYSTEMINFO_H

#include "vlcore_export.h"

class QWidget;

namespace Vela {

class VLCORE_EXPORT VlSystemInfo
{
public:
    // The scaling ratio of the screen that shows the widget: 1.0 at 96 dpi, always > 0.
    // The environment variable VELA_DPI_RATIO, when it holds a positive number, overrides
    // it (for hosts that know better, and for tests).
    static double getDpiRatio(QWidget *widget);
};

} // namespace Vela

#endif
