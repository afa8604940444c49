#include "VlEditorStartMenuWaitingWidget.h"

#include <QBoxLayout>
#include <QLabel>
#include <QSpacerItem>
#include <QSvgWidget>

namespace Vela {

VlEditorStartMenuWaitingWidget::VlEditorStartMenuWaitingWidget(QWidget *parent)
    : QFrame(parent, Qt::WindowFlags())
{
    setFrameShape(QFrame::Box);
    setAutoFillBackground(true);

    auto *layout = new QVBoxLayout;
    layout->addItem(new QSpacerItem(10, 10, QSizePolicy::Minimum, QSizePolicy::Expanding));

    auto *symbolRow = new QHBoxLayout;
    symbolRow->addItem(new QSpacerItem(10, 10, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_waitSymbol = new QSvgWidget(QStringLiteral(":/images/waiting_circle_gray.svg"));
    m_waitSymbol->setMinimumSize(48, 48);
    m_waitSymbol->setMaximumSize(48, 48);
    m_waitSymbol->resize(48, 48);
    symbolRow->addWidget(m_waitSymbol);
    symbolRow->addItem(new QSpacerItem(10, 10, QSizePolicy::Expanding, QSizePolicy::Minimum));
    layout->addLayout(symbolRow);

    auto *labelRow = new QHBoxLayout;
    labelRow->addItem(new QSpacerItem(10, 10, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_label = new QLabel(tr("Staring, please wait..."), nullptr, Qt::WindowFlags());
    labelRow->addWidget(m_label);
    labelRow->addItem(new QSpacerItem(10, 10, QSizePolicy::Expanding, QSizePolicy::Minimum));
    layout->addLayout(labelRow);

    layout->addItem(new QSpacerItem(10, 10, QSizePolicy::Minimum, QSizePolicy::Expanding));
    setLayout(layout);
    setAutoFillBackground(true);

    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Window, QBrush(QColor(255, 255, 255, 255)));
    pal.setBrush(QPalette::All, QPalette::WindowText, QBrush(Qt::gray));
    setPalette(pal);

    setMinimumSize(64, 64);
    setMaximumSize(256, 144);
}

void VlEditorStartMenuWaitingWidget::setLabelText(const QString &text)
{
    if (m_label)
        m_label->setText(text);
}

void VlEditorStartMenuWaitingWidget::onResized(const QSize &size)
{
    resize(size);
}

} // namespace Vela
