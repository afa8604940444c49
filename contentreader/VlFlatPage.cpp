#include "VlFlatPage.h"

#include <QPainter>

namespace Vela {

void VlFlatPage::paintOntoWhite(const QImage &rendered, QImage *canvas)
{
    canvas->fill(Qt::white);
    QPainter painter(canvas);
    painter.drawImage(0, 0, rendered);
    painter.end();
}

} // namespace Vela
