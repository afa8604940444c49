#include "VlEditorStartMenu.h"

#include "VlEditorStartMenuWaitingWidget.h"
#include "VlMenuButton.h"

#include <VlSystemInfo.h>

#include <QBoxLayout>
#include <QEvent>
#include <QFile>
#include <QGridLayout>
#include <QImage>
#include <QMainWindow>
#include <QPainter>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QSpacerItem>
#include <QSvgRenderer>
#include <QTimer>

#include <algorithm>

namespace Vela {

namespace {

const char *const ARTWORK_RESOURCE = ":/images/VelaStartMenu2.svg";
const char *const EXIT_BUTTON_NAME = "ExitButton";

// The buttons keep their initial size up to this menu size and grow in proportion beyond.
constexpr double REFERENCE_WIDTH = 1366.0;
constexpr double REFERENCE_HEIGHT = 674.0;
constexpr double BUTTON_MAX_WIDTH = 256.0;
constexpr double BUTTON_MAX_HEIGHT = 48.0;
constexpr double BASE_FONT_POINTS = 11.0;

} // namespace

VlEditorStartMenu::VlEditorStartMenu(QWidget *parent, Qt::WindowFlags f)
    : QWidget(nullptr, f)
{
    if (parent) {
        if (auto *mainWindow = qobject_cast<QMainWindow *>(parent))
            m_mainWindow = mainWindow;
        else
            setParent(parent);
    }
    setup();
}

VlEditorStartMenu::~VlEditorStartMenu()
{
    // The menu and its host window may have wired signals both ways; cut them before the
    // QWidget part tears down the children, so nothing reaches a half-destroyed menu.
    if (m_mainWindow) {
        QObject::disconnect(m_mainWindow.data(), nullptr, this, nullptr);
        QObject::disconnect(this, nullptr, m_mainWindow.data(), nullptr);
    }
    delete m_svgRenderer;
    m_svgRenderer = nullptr;
    delete m_svgData;
    m_svgData = nullptr;
}

void VlEditorStartMenu::exec()
{
    if (auto *mainWindow = qobject_cast<QMainWindow *>(m_mainWindow.data()))
        mainWindow->setCentralWidget(this);
    show();
}

QString VlEditorStartMenu::editionText()
{
    return m_editionText;
}

void VlEditorStartMenu::setEditionText(const QString &text)
{
    m_editionText = text;
    updateEdition();
}

void VlEditorStartMenu::requestToShowStageEditor()
{
    emit requestedToShowStageEditor();
}

void VlEditorStartMenu::requestToExit()
{
    emit requestedToExit();
}

void VlEditorStartMenu::requestToShowConfiguration()
{
    emit requestedToShowConfiguration();
}

void VlEditorStartMenu::requestToShowScheduler()
{
    emit requestedToShowScheduler();
}

void VlEditorStartMenu::setWaitingWidgetVisible(bool visible)
{
    if (m_waitingWidget)
        m_waitingWidget->setVisible(visible);
}

void VlEditorStartMenu::setWaitingWidgetLabelText(const QString &text)
{
    emit requestedToChnageWaitingWidgetLabelText(text);
}

bool VlEditorStartMenu::event(QEvent *e)
{
    // The layout settles the menu's size only after it is shown; correct the buttons once
    // the event loop has got there.
    if (e->type() == QEvent::ShowToParent)
        QTimer::singleShot(0, this, [this] { correctWidgets(size()); });
    return QWidget::event(e);
}

void VlEditorStartMenu::resizeEvent(QResizeEvent *e)
{
    emit resized(e->size());
}

void VlEditorStartMenu::onResized(const QSize &size)
{
    if (m_waitingWidget)
        m_waitingWidget->resize(size);
    correctWidgets(size);
}

void VlEditorStartMenu::correctWidgets(const QSize &parentSize)
{
    const double width = parentSize.width();
    const double height = parentSize.height();
    const double w = std::max(BUTTON_MAX_WIDTH, BUTTON_MAX_WIDTH / REFERENCE_WIDTH * width);
    const double h = std::max(BUTTON_MAX_HEIGHT, BUTTON_MAX_HEIGHT / REFERENCE_HEIGHT * height);

    // The font follows the height in device-independent points, so that a high-DPI screen
    // does not get doubly large text.
    const double ratio = VlSystemInfo::getDpiRatio(this);
    const double q = height / ratio / REFERENCE_HEIGHT;
    const double fontPoints = q > 1 ? BASE_FONT_POINTS * q : BASE_FONT_POINTS;
    const QString styleSheet = VlMenuButton::buttonStyleSheet(fontPoints);

    for (QWidget *widget : m_buttons) {
        auto *button = qobject_cast<VlMenuButton *>(widget);
        if (!button)
            continue;
        if (button->objectName() == QLatin1String(EXIT_BUTTON_NAME))
            button->setMaximumSize(int(w * 0.5), int(h));
        else
            button->setMaximumSize(QSizeF(w, h).toSize());
        button->setStyleSheet(styleSheet);
    }
}

void VlEditorStartMenu::setup()
{
    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Window, QBrush(Qt::white));
    setPalette(pal);
    setAutoFillBackground(true);

    auto *mainLayout = new QVBoxLayout(this);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->setSpacing(0);
    auto *grid = new QGridLayout;

    auto *stage = new VlMenuButton(tr("Edit Stage"), this);
    connect(stage, SIGNAL(clicked()), this, SLOT(requestToShowStageEditor()));
    auto *schedule = new VlMenuButton(tr("Edit Schedule"), this);
    connect(schedule, SIGNAL(clicked()), this, SLOT(requestToShowScheduler()));
    auto *configuration = new VlMenuButton(tr("Configuration"), this);
    connect(configuration, SIGNAL(clicked()), this, SLOT(requestToShowConfiguration()));
    auto *exit = new VlMenuButton(tr("Exit"), this);
    connect(exit, SIGNAL(clicked()), this, SLOT(requestToExit()));
    exit->setMinimumWidth(64);
    exit->setMaximumWidth(128);
    exit->setObjectName(QLatin1String(EXIT_BUTTON_NAME));

    m_buttons << stage << schedule << configuration << exit;

    auto *gapAboveConfiguration
        = new QSpacerItem(100, 32, QSizePolicy::Minimum, QSizePolicy::Minimum);
    auto *gapBeforeExit = new QSpacerItem(30, 10, QSizePolicy::Minimum, QSizePolicy::Minimum);
    grid->addWidget(stage, 0, 0);
    grid->addWidget(schedule, 1, 0);
    grid->addItem(gapAboveConfiguration, 2, 0);
    grid->addWidget(configuration, 3, 0);
    grid->addItem(gapBeforeExit, 0, 1);
    grid->addWidget(exit, 3, 2);

    auto *frame = new QHBoxLayout;
    frame->setContentsMargins(200, 200, 200, 200);
    frame->addLayout(grid);
    mainLayout->addLayout(frame);

    initSvgData();
    createWaitingWidget();
}

void VlEditorStartMenu::createWaitingWidget()
{
    auto *layout = new QVBoxLayout;
    layout->addItem(new QSpacerItem(10, 10, QSizePolicy::Minimum, QSizePolicy::Expanding));
    auto *row = new QHBoxLayout;
    row->addItem(new QSpacerItem(10, 10, QSizePolicy::Expanding, QSizePolicy::Minimum));
    auto *box = new VlEditorStartMenuWaitingWidget(nullptr);
    row->addWidget(box);
    row->addItem(new QSpacerItem(10, 10, QSizePolicy::Expanding, QSizePolicy::Minimum));
    layout->addLayout(row);
    layout->addItem(new QSpacerItem(10, 10, QSizePolicy::Minimum, QSizePolicy::Expanding));

    m_waitingWidget = new QWidget(this);
    m_waitingWidget->setLayout(layout);
    m_waitingWidget->setAutoFillBackground(true);
    QPalette pal = m_waitingWidget->palette();
    pal.setBrush(QPalette::All, QPalette::Window, QBrush(QColor(255, 255, 255, 128)));
    m_waitingWidget->setPalette(pal);

    connect(this, SIGNAL(resized(QSize)), this, SLOT(onResized(QSize)));
    connect(this, SIGNAL(requestedToChnageWaitingWidgetLabelText(QString)), box,
        SLOT(setLabelText(QString)));

    // Created after the buttons, the overlay stacks above them and swallows their clicks
    // while it is shown.
    m_waitingWidget->hide();
}

void VlEditorStartMenu::initSvgData()
{
    QFile file(QString::fromLatin1(ARTWORK_RESOURCE));
    if (!file.open(QIODevice::ReadOnly))
        return;

    if (!m_svgData)
        m_svgData = new QString;
    m_svgData->clear();
    while (!file.atEnd())
        m_svgData->append(QString::fromUtf8(file.readLine()));
    file.close();

    setNoneToDisplayAttributeOfEditionId(m_svgData);

    if (!m_svgRenderer)
        m_svgRenderer = new QSvgRenderer;
    // The text is Unicode; only UTF-8 carries every character of it to the parser.
    m_svgRenderer->load(m_svgData->toUtf8());
}

void VlEditorStartMenu::setNoneToDisplayAttributeOfEditionId(QString *svg)
{
    if (!svg)
        return;
    static const QRegularExpression editionTag(QStringLiteral("<g id=\"([^\"]*Edition)\"[^>]*>"));
    svg->replace(editionTag, QStringLiteral("<g id=\"\\1\" display=\"none\">"));
}

void VlEditorStartMenu::removeDisplayAttributeFromElement(QString *svg, const QString &id)
{
    if (!svg)
        return;
    // The id names exactly one group, whatever characters it holds: taken as a pattern, a
    // hostile id could show several labels or stall the replacement.
    const QRegularExpression groupTag(
        QStringLiteral("<g id=\"(%1)\"[^>]*>").arg(QRegularExpression::escape(id)));
    svg->replace(groupTag, QStringLiteral("<g id=\"\\1\">"));
}

void VlEditorStartMenu::updateEdition()
{
    if (m_svgData)
        setNoneToDisplayAttributeOfEditionId(m_svgData);
    else
        initSvgData();
    if (!m_svgData)
        return;

    const QString id = QStringLiteral("%1Edition").arg(m_editionText);
    removeDisplayAttributeFromElement(m_svgData, id);

    if (!m_svgRenderer)
        m_svgRenderer = new QSvgRenderer;
    m_svgRenderer->load(m_svgData->toUtf8());
    update();
}

void VlEditorStartMenu::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!m_svgRenderer)
        initSvgData();
    if (!m_svgRenderer)
        return; // without artwork the white background stays

    const QRectF viewBox = m_svgRenderer->viewBoxF();
    const int width = this->width();
    const int height = this->height();
    if (viewBox.width() <= 0 || viewBox.height() <= 0 || width <= 0)
        return;
    const int imageHeight = int(viewBox.height() / viewBox.width() * width);
    // A sliver of a widget gives no image rows, and the repeat below would never advance.
    if (imageHeight <= 0)
        return;

    QImage image(width, imageHeight, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter imagePainter(&image);
        m_svgRenderer->render(&imagePainter);
    }

    QPainter painter(this);
    painter.drawImage(0, 0, image);
    if (imageHeight >= height)
        return;

    // Below the drawing, turned and upright copies alternate, so that every seam joins two
    // equal edges.
    QImage turned(image.size(), image.format());
    turned.fill(Qt::transparent);
    {
        QPainter turnedPainter(&turned);
        turnedPainter.translate(image.width(), image.height());
        turnedPainter.rotate(180);
        turnedPainter.drawImage(0, 0, image);
    }
    int y = imageHeight;
    while (y < height) {
        painter.drawImage(0, y, turned);
        y += imageHeight;
        if (y < height) {
            painter.drawImage(0, y, image);
            y += imageHeight;
        }
    }
}

} // namespace Vela
