#include "VlWidgetContainer.h"

namespace Vela {

VlWidgetContainer::VlWidgetContainer() = default;
VlWidgetContainer::~VlWidgetContainer() = default;

VlWidgetContainer &VlWidgetContainer::operator<<(QWidget *const &widget)
{
    append(widget);
    return *this;
}

} // namespace Vela
