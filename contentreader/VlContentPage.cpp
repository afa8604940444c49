#include "VlContentPage.h"

#include <QStringList>

namespace Vela {

QString VlContentPage::sizeKey(const QSize &requestedSize)
{
    return QStringLiteral("%1x%2").arg(requestedSize.width()).arg(requestedSize.height());
}

QSize VlContentPage::sizeFromKey(const QString &key)
{
    const QStringList parts = key.split(QLatin1Char('x'));
    if (parts.size() != 2)
        return QSize();
    bool widthOk = false;
    bool heightOk = false;
    const int width = parts.at(0).toInt(&widthOk, 10);
    const int height = parts.at(1).toInt(&heightOk, 10);
    if (!widthOk || !heightOk)
        return QSize();
    return QSize(width, height);
}

} // namespace Vela
