#ifndef VELA_VLWIDGETCONTAINER_H
#define VELA_VLWIDGETCONTAINER_H

#include "vlcore_export.h"

#include <QVector>

class QWidget;

namespace Vela {

// A list of widgets in insertion order. It never owns them: widgets belong to their
// parents in the widget tree.
class VLCORE_EXPORT VlWidgetContainer : public QVector<QWidget *>
{
public:
    VlWidgetContainer();
    ~VlWidgetContainer();

    VlWidgetContainer &operator<<(QWidget *const &widget);
};

} // namespace Vela

#endif
