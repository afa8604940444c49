#ifndef VELA_VLEDITORSTARTMENUWAITINGWIDGET_H
#define VELA_VLEDITORSTARTMENUWAITINGWIDGET_H

#include <QFrame>

class QLabel;
class QSvgWidget;

namespace Vela {

// The white box in the middle of the start menu's waiting overlay: a spinning symbol and
// one line of message.
class VlEditorStartMenuWaitingWidget : public QFrame
{
    Q_OBJECT

public:
    explicit VlEditorStartMenuWaitingWidget(QWidget *parent);

public slots:
    void setLabelText(const QString &text);
    void onResized(const QSize &size);

private:
    QLabel *m_label = nullptr;
    QSvgWidget *m_waitSymbol = nullptr;
};

} // namespace Vela

#endif
