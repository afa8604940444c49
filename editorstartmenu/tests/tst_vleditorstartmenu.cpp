#include <VlEditorStartMenu_p.h>

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QMetaMethod>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QSvgWidget>
#include <QtTest>

#include <memory>

using Vela::VlEditorStartMenu;
// The menu's inner parts, through the library's private header.
using Parts = Vela::VlEditorStartMenuPrivate;

namespace {

const QStringList EDITION_IDS = {QStringLiteral("StandardEdition"),
    QStringLiteral("MultiChannelEdition"), QStringLiteral("ProfessionalEdition")};

QString readResource(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QWidget *waitingBox(QWidget *overlay)
{
    const auto frames = overlay->findChildren<QWidget *>();
    for (QWidget *w : frames) {
        if (QLatin1String(w->metaObject()->className())
            == QLatin1String("Vela::VlEditorStartMenuWaitingWidget"))
            return w;
    }
    return nullptr;
}

// Pixels of the label area under the product logo that are close to white.
int whitePixelsOfLabelArea(const QImage &image)
{
    int count = 0;
    for (int y = 218; y < 240; ++y) {
        for (int x = 38; x < 196; ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() > 200 && c.blue() > 200)
                ++count;
        }
    }
    return count;
}

bool samePixel(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) <= 2 && qAbs(qGreen(a) - qGreen(b)) <= 2
        && qAbs(qBlue(a) - qBlue(b)) <= 2;
}

} // namespace

class tst_VlEditorStartMenu : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void metaObjectKeepsHostOrder();
    void freshButtonsKeepInitialLimits();
    void buttonsFollowSizeAndDpi_data();
    void buttonsFollowSizeAndDpi();
    void eachButtonEmitsExactlyItsSignal_data();
    void eachButtonEmitsExactlyItsSignal();

    void overlayCoversMenuOnResize();
    void overlaySwallowsClicksWhileVisible();
    void waitingLabelFollowsTextWhetherShownOrNot();

    void hostsAndExec_data();
    void hostsAndExec();
    void mainWindowOwnsMenuAfterExec();
    void destructionCutsConnectionsWithMainWindow();
    void survivesMainWindowDestroyedBeforeExec();

    void artworkResourcesKeepTheirContract();
    void editionTextShowsOnlyItsLabel_data();
    void editionTextShowsOnlyItsLabel();
    void laterEditionReplacesEarlierOne();
    void rendererGetsNonAsciiTextIntact();
    void editionLabelIsDrawn_data();
    void editionLabelIsDrawn();

    void paintsDrawingAtWidthAndRepeatsTurned_data();
    void paintsDrawingAtWidthAndRepeatsTurned();
    void sliverOfWidgetPaintsWithoutHanging();
};

void tst_VlEditorStartMenu::cleanup()
{
    qunsetenv("VELA_DPI_RATIO");
}

void tst_VlEditorStartMenu::metaObjectKeepsHostOrder()
{
    // Hosts may address the menu by method index, so the order is part of the interface.
    const QStringList expected = {
        "requestedToShowStageEditor()",
        "requestedToExit()",
        "requestedToShowConfiguration()",
        "requestedToShowScheduler()",
        "resized(QSize)",
        "requestedToChnageWaitingWidgetLabelText(QString)",
        "requestToShowStageEditor()",
        "requestToExit()",
        "requestToShowConfiguration()",
        "requestToShowScheduler()",
        "setWaitingWidgetVisible(bool)",
        "setWaitingWidgetLabelText(QString)",
        "onResized(QSize)",
        "correctWidgets(QSize)",
    };
    const QMetaObject &mo = VlEditorStartMenu::staticMetaObject;
    QCOMPARE(QLatin1String(mo.className()), QLatin1String("Vela::VlEditorStartMenu"));
    QStringList actual;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
        actual << QString::fromLatin1(mo.method(i).methodSignature());
    QCOMPARE(actual, expected);
    QCOMPARE(mo.method(mo.methodOffset() + 5).methodType(), QMetaMethod::Signal);
    QCOMPARE(mo.method(mo.methodOffset() + 11).access(), QMetaMethod::Public);
    QCOMPARE(mo.method(mo.methodOffset() + 12).access(), QMetaMethod::Private);
}

void tst_VlEditorStartMenu::freshButtonsKeepInitialLimits()
{
    VlEditorStartMenu menu;
    QStringList texts;
    for (QWidget *w : Parts::buttons(menu)) {
        auto *button = qobject_cast<QPushButton *>(w);
        QVERIFY(button);
        QCOMPARE(button->parentWidget(), &menu);
        texts << button->text();
        QCOMPARE(button->minimumHeight(), 32);
        QCOMPARE(button->maximumHeight(), 48);
        QVERIFY(button->styleSheet().contains(QLatin1String("font-size: 11pt;")));
        QVERIFY(button->styleSheet().contains(QLatin1String("font-weight: bold;")));
        // A family name outside Latin-1 must survive the trip through the compiler.
        QVERIFY(button->styleSheet().contains(QString::fromUtf16(u"'\u30E1\u30A4\u30EA\u30AA',")));
        QVERIFY(button->styleSheet().contains(QLatin1String("}QPushButton::hover {")));
        QVERIFY(button->styleSheet().contains(QLatin1String("}QPushButton::pressed {")));
    }
    QCOMPARE(texts, QStringList({"Edit Stage", "Edit Schedule", "Configuration", "Exit"}));

    for (int i = 0; i < 3; ++i) {
        QCOMPARE(Parts::buttons(menu).at(i)->minimumWidth(), 128);
        QCOMPARE(Parts::buttons(menu).at(i)->maximumWidth(), 256);
    }
    QWidget *exit = Parts::buttons(menu).at(3);
    QCOMPARE(exit->objectName(), QStringLiteral("ExitButton"));
    QCOMPARE(exit->minimumWidth(), 64);
    QCOMPARE(exit->maximumWidth(), 128);
}

void tst_VlEditorStartMenu::buttonsFollowSizeAndDpi_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QByteArray>("dpiRatio");
    QTest::addColumn<QSize>("leftMaximum");
    QTest::addColumn<QSize>("exitMaximum");
    QTest::addColumn<QString>("fontSize");

    QTest::newRow("reference size")
        << QSize(1366, 674) << QByteArray("1") << QSize(256, 48) << QSize(128, 48) << "11";
    QTest::newRow("smaller keeps initial")
        << QSize(800, 600) << QByteArray("1") << QSize(256, 48) << QSize(128, 48) << "11";
    QTest::newRow("double size") << QSize(2732, 1348) << QByteArray("1") << QSize(512, 96)
                                 << QSize(256, 96) << "22";
    QTest::newRow("double size on 2x screen")
        << QSize(2732, 1348) << QByteArray("2") << QSize(512, 96) << QSize(256, 96) << "11";
    QTest::newRow("height alone grows")
        << QSize(1366, 1348) << QByteArray("1") << QSize(256, 96) << QSize(128, 96) << "22";
    // 281.1 x 49.85: the left buttons round, Exit cuts.
    QTest::newRow("rounding differs for exit")
        << QSize(1500, 700) << QByteArray("1") << QSize(281, 50) << QSize(140, 49) << "11.4243";
    QTest::newRow("q exactly 1 on 1.5x screen")
        << QSize(2049, 1011) << QByteArray("1.5") << QSize(384, 72) << QSize(192, 72) << "11";
    QTest::newRow("1.25x screen") << QSize(2049, 1011) << QByteArray("1.25") << QSize(384, 72)
                                  << QSize(192, 72) << "13.2";
}

void tst_VlEditorStartMenu::buttonsFollowSizeAndDpi()
{
    QFETCH(QSize, size);
    QFETCH(QByteArray, dpiRatio);
    QFETCH(QSize, leftMaximum);
    QFETCH(QSize, exitMaximum);
    QFETCH(QString, fontSize);

    qputenv("VELA_DPI_RATIO", dpiRatio);
    VlEditorStartMenu menu;
    menu.resize(size);
    menu.show();
    QVERIFY(QTest::qWaitForWindowExposed(&menu));
    QCOMPARE(menu.size(), size);

    const QString font = QStringLiteral("font-size: %1pt;").arg(fontSize);
    QTRY_VERIFY(Parts::buttons(menu).at(3)->styleSheet().contains(font));
    for (int i = 0; i < 4; ++i) {
        QWidget *button = Parts::buttons(menu).at(i);
        QCOMPARE(button->maximumSize(), i == 3 ? exitMaximum : leftMaximum);
        QVERIFY2(button->styleSheet().contains(font), qPrintable(button->styleSheet()));
    }
}

void tst_VlEditorStartMenu::eachButtonEmitsExactlyItsSignal_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("signalIndex");

    QTest::newRow("Edit Stage") << 0 << 0;
    QTest::newRow("Edit Schedule") << 1 << 3;
    QTest::newRow("Configuration") << 2 << 2;
    QTest::newRow("Exit") << 3 << 1;
}

void tst_VlEditorStartMenu::eachButtonEmitsExactlyItsSignal()
{
    QFETCH(int, button);
    QFETCH(int, signalIndex);

    VlEditorStartMenu menu;
    QSignalSpy stage(&menu, &VlEditorStartMenu::requestedToShowStageEditor);
    QSignalSpy exit(&menu, &VlEditorStartMenu::requestedToExit);
    QSignalSpy configuration(&menu, &VlEditorStartMenu::requestedToShowConfiguration);
    QSignalSpy scheduler(&menu, &VlEditorStartMenu::requestedToShowScheduler);
    QSignalSpy *spies[] = {&stage, &exit, &configuration, &scheduler};

    menu.resize(1280, 768);
    menu.show();
    QVERIFY(QTest::qWaitForWindowExposed(&menu));
    QTest::mouseClick(Parts::buttons(menu).at(button), Qt::LeftButton);

    for (int i = 0; i < 4; ++i)
        QCOMPARE(spies[i]->count(), i == signalIndex ? 1 : 0);
}

void tst_VlEditorStartMenu::overlayCoversMenuOnResize()
{
    VlEditorStartMenu menu;
    QWidget *overlay = Parts::waitingWidget(menu);
    QVERIFY(overlay);
    QCOMPARE(overlay->parentWidget(), &menu);

    menu.resize(1000, 700);
    menu.show();
    QVERIFY(QTest::qWaitForWindowExposed(&menu));
    QVERIFY(overlay->isHidden());
    QCOMPARE(overlay->geometry(), menu.rect());

    menu.setWaitingWidgetVisible(true);
    QVERIFY(overlay->isVisible());
    menu.resize(1400, 900);
    QTRY_COMPARE(menu.size(), QSize(1400, 900));
    QCOMPARE(overlay->geometry(), menu.rect());

    QWidget *box = waitingBox(overlay);
    QVERIFY(box);
    QTRY_VERIFY(qAbs(box->geometry().center().x() - menu.rect().center().x()) <= 1);
    QVERIFY(qAbs(box->geometry().center().y() - menu.rect().center().y()) <= 1);

    menu.setWaitingWidgetVisible(false);
    QVERIFY(overlay->isHidden());
}

void tst_VlEditorStartMenu::overlaySwallowsClicksWhileVisible()
{
    VlEditorStartMenu menu;
    QSignalSpy stage(&menu, &VlEditorStartMenu::requestedToShowStageEditor);
    menu.resize(1280, 768);
    menu.show();
    QVERIFY(QTest::qWaitForWindowExposed(&menu));
    QWidget *stageButton = Parts::buttons(menu).at(0);
    const QPoint inButton = stageButton->geometry().center();

    // Clicks go through the window, so the widget under the pointer takes them.
    menu.setWaitingWidgetVisible(true);
    QVERIFY(menu.childAt(inButton) != stageButton);
    QTest::mouseClick(menu.windowHandle(), Qt::LeftButton, Qt::NoModifier, inButton);
    QCOMPARE(stage.count(), 0);

    menu.setWaitingWidgetVisible(false);
    QCOMPARE(menu.childAt(inButton), stageButton);
    QTest::mouseClick(menu.windowHandle(), Qt::LeftButton, Qt::NoModifier, inButton);
    QCOMPARE(stage.count(), 1);
}

void tst_VlEditorStartMenu::waitingLabelFollowsTextWhetherShownOrNot()
{
    VlEditorStartMenu menu;
    QWidget *box = waitingBox(Parts::waitingWidget(menu));
    QVERIFY(box);
    auto *label = box->findChild<QLabel *>();
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("Staring, please wait..."));
    QCOMPARE(box->minimumSize(), QSize(64, 64));
    QCOMPARE(box->maximumSize(), QSize(256, 144));

    auto *symbol = box->findChild<QSvgWidget *>();
    QVERIFY(symbol);
    QCOMPARE(symbol->minimumSize(), QSize(48, 48));
    QCOMPARE(symbol->maximumSize(), QSize(48, 48));
    QVERIFY(symbol->renderer()->isValid());
    QVERIFY(symbol->renderer()->animated());

    QSignalSpy spy(&menu, &VlEditorStartMenu::requestedToChnageWaitingWidgetLabelText);
    menu.setWaitingWidgetLabelText(QStringLiteral("Opening the stage editor"));
    QCOMPARE(label->text(), QStringLiteral("Opening the stage editor"));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("Opening the stage editor"));

    menu.show();
    menu.setWaitingWidgetVisible(true);
    QCOMPARE(label->text(), QStringLiteral("Opening the stage editor"));
    menu.setWaitingWidgetLabelText(QStringLiteral("Almost there"));
    QCOMPARE(label->text(), QStringLiteral("Almost there"));

    menu.setWaitingWidgetLabelText(QString());
    QCOMPARE(label->text(), QString());
    QCOMPARE(box->minimumSize(), QSize(64, 64));
    QCOMPARE(box->maximumSize(), QSize(256, 144));
}

void tst_VlEditorStartMenu::hostsAndExec_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("main window") << "main window";
    QTest::newRow("other parent") << "other parent";
    QTest::newRow("no parent") << "none";
}

void tst_VlEditorStartMenu::hostsAndExec()
{
    QFETCH(QString, host);

    QMainWindow mainWindow;
    QWidget plainParent;
    QWidget *given = host == "main window" ? static_cast<QWidget *>(&mainWindow)
        : host == "other parent"           ? &plainParent
                                           : nullptr;
    QPointer<VlEditorStartMenu> menu = new VlEditorStartMenu(given);
    std::unique_ptr<VlEditorStartMenu> owned(host == "none" ? menu.data() : nullptr);
    std::unique_ptr<VlEditorStartMenu> untilExec(host == "main window" ? menu.data() : nullptr);

    if (host == "other parent")
        QCOMPARE(menu->parentWidget(), &plainParent);
    else
        QCOMPARE(menu->parentWidget(), nullptr);
    QVERIFY(!menu->isVisible());

    menu->exec();
    untilExec.release(); // the main window owns it now
    QVERIFY(!menu->isHidden());

    if (host == "main window") {
        QCOMPARE(mainWindow.centralWidget(), menu.data());
        QCOMPARE(menu->parentWidget(), &mainWindow);
        QVERIFY(!menu->isWindow());
        mainWindow.show();
        QVERIFY(menu->isVisible());
    } else if (host == "other parent") {
        QCOMPARE(menu->parentWidget(), &plainParent);
        QVERIFY(!menu->isWindow());
        plainParent.show();
        QVERIFY(menu->isVisible());
    } else {
        QVERIFY(menu->isWindow());
        QVERIFY(menu->isVisible());
    }
}

void tst_VlEditorStartMenu::mainWindowOwnsMenuAfterExec()
{
    QPointer<VlEditorStartMenu> menu;
    {
        QMainWindow mainWindow;
        menu = new VlEditorStartMenu(&mainWindow);
        menu->exec();
        mainWindow.show();
        QVERIFY(QTest::qWaitForWindowExposed(&mainWindow));
        QVERIFY(menu->isVisible());
    }
    QVERIFY(menu.isNull());
}

void tst_VlEditorStartMenu::destructionCutsConnectionsWithMainWindow()
{
    // A child of the menu that outlives the menu's own destructor (children die in the
    // QWidget part) makes the window talk to the menu at that moment.
    QMainWindow mainWindow;
    auto *menu = new VlEditorStartMenu(&mainWindow);
    QSignalSpy labelRequests(menu, &VlEditorStartMenu::requestedToChnageWaitingWidgetLabelText);
    int menuToWindowCalls = 0;

    connect(&mainWindow, SIGNAL(windowTitleChanged(QString)), menu,
        SLOT(setWaitingWidgetLabelText(QString)));
    connect(menu, &QObject::destroyed, &mainWindow, [&] { ++menuToWindowCalls; });
    auto *lateChild = new QObject(menu);
    connect(lateChild, &QObject::destroyed,
        [&] { mainWindow.setWindowTitle(QStringLiteral("closing")); });

    mainWindow.setWindowTitle(QStringLiteral("open"));
    QCOMPARE(labelRequests.count(), 1);

    menu->exec();
    delete menu;
    QCOMPARE(labelRequests.count(), 1);
    QCOMPARE(menuToWindowCalls, 0);
    QCOMPARE(mainWindow.windowTitle(), QStringLiteral("closing"));
    QCOMPARE(mainWindow.centralWidget(), nullptr);
}

void tst_VlEditorStartMenu::survivesMainWindowDestroyedBeforeExec()
{
    auto mainWindow = std::make_unique<QMainWindow>();
    std::unique_ptr<VlEditorStartMenu> menu(new VlEditorStartMenu(mainWindow.get()));
    connect(menu.get(), &VlEditorStartMenu::requestedToExit, mainWindow.get(), &QWidget::close);
    mainWindow.reset();

    // The menu stays usable on its own and its destructor leaves the gone window alone.
    menu->exec();
    QVERIFY(menu->isWindow());
    QVERIFY(menu->isVisible());
    menu.reset();
}

void tst_VlEditorStartMenu::artworkResourcesKeepTheirContract()
{
    const QString svg = readResource(QStringLiteral(":/images/VelaStartMenu2.svg"));
    QVERIFY(!svg.isEmpty());
    for (const QChar c : svg)
        QVERIFY2(c.unicode() < 128, "the drawing must stay ASCII");
    QVERIFY(svg.contains(QLatin1String("viewBox=\"0 0 1280 768\"")));
    for (const QString &id : EDITION_IDS)
        QCOMPARE(svg.count(QStringLiteral("<g id=\"%1\">").arg(id)), 1);
    QCOMPARE(svg.count(QRegularExpression(QStringLiteral("id=\"[^\"]*Edition\""))), 3);

    QSvgRenderer drawing(svg.toUtf8());
    QVERIFY(drawing.isValid());
    QCOMPARE(drawing.viewBoxF(), QRectF(0, 0, 1280, 768));
    for (const char *group : {"background", "curve", "square", "centerlight", "smalllight"})
        QVERIFY2(drawing.elementExists(QLatin1String(group)), group);

    const QString spinner = readResource(QStringLiteral(":/images/waiting_circle_gray.svg"));
    QCOMPARE(spinner.count(QLatin1String("<circle ")), 16);
    QSvgRenderer symbol(spinner.toUtf8());
    QVERIFY(symbol.isValid());
    QVERIFY(symbol.animated());
    QVERIFY(symbol.elementExists(QStringLiteral("baseCircle")));
}

void tst_VlEditorStartMenu::editionTextShowsOnlyItsLabel_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("edition");
    QTest::addColumn<QString>("shown");

    QTest::newRow("never set") << false << QString() << QString();
    QTest::newRow("Standard") << true << "Standard"
                              << "StandardEdition";
    QTest::newRow("MultiChannel") << true << "MultiChannel"
                                  << "MultiChannelEdition";
    QTest::newRow("Professional") << true << "Professional"
                                  << "ProfessionalEdition";
    QTest::newRow("unknown") << true << "Basic" << QString();
    QTest::newRow("empty") << true << "" << QString();
    QTest::newRow("wrong case") << true << "standard" << QString();
    QTest::newRow("full id") << true << "StandardEdition" << QString();
    // Taken as patterns, these would show every label or the wrong one.
    QTest::newRow("dot star") << true << ".*" << QString();
    QTest::newRow("alternation") << true << "Standard|Professional" << QString();
    QTest::newRow("wildcard letter") << true << "Pro.essional" << QString();
    QTest::newRow("character class") << true << "[A-Z][a-z]*" << QString();
    QTest::newRow("unbalanced") << true << "Standard(" << QString();
    QTest::newRow("quote and bracket") << true << "\"><g id=\"x" << QString();
    QTest::newRow("nested repeat") << true << "(.*.*)*(.*.*)*(.*.*)*!" << QString();
}

void tst_VlEditorStartMenu::editionTextShowsOnlyItsLabel()
{
    QFETCH(bool, set);
    QFETCH(QString, edition);
    QFETCH(QString, shown);

    VlEditorStartMenu menu;
    if (set)
        menu.setEditionText(edition);
    QCOMPARE(menu.editionText(), edition);
    QVERIFY(Parts::svgData(menu));
    const QString text = *Parts::svgData(menu);

    for (const QString &id : EDITION_IDS) {
        const QString visibleTag = QStringLiteral("<g id=\"%1\">").arg(id);
        const QString hiddenTag = QStringLiteral("<g id=\"%1\" display=\"none\">").arg(id);
        QCOMPARE(text.count(visibleTag), id == shown ? 1 : 0);
        QCOMPARE(text.count(hiddenTag), id == shown ? 0 : 1);
    }
    // Only the edition tags are touched.
    QString restored = text;
    restored.remove(QStringLiteral(" display=\"none\""));
    QCOMPARE(restored, readResource(QStringLiteral(":/images/VelaStartMenu2.svg")));
    QVERIFY(Parts::svgRenderer(menu) && Parts::svgRenderer(menu)->isValid());
}

void tst_VlEditorStartMenu::laterEditionReplacesEarlierOne()
{
    VlEditorStartMenu menu;
    menu.setEditionText(QStringLiteral("Professional"));
    menu.setEditionText(QStringLiteral("Standard"));
    const QString text = *Parts::svgData(menu);
    QVERIFY(text.contains(QLatin1String("<g id=\"StandardEdition\">")));
    QVERIFY(text.contains(QLatin1String("<g id=\"ProfessionalEdition\" display=\"none\">")));
    QVERIFY(text.contains(QLatin1String("<g id=\"MultiChannelEdition\" display=\"none\">")));
    QCOMPARE(text.count(QLatin1String("display=\"none\"")), 2);
}

void tst_VlEditorStartMenu::rendererGetsNonAsciiTextIntact()
{
    // A drawing saved with a non-ASCII name or text must reach the parser as UTF-8: through
    // Latin-1, U+00E9 breaks the document and U+65E5 turns into '?'.
    VlEditorStartMenu menu;
    const QString latin = QString::fromUtf16(u"caf\u00E9");
    const QString cjk = QString::fromUtf16(u"\u65E5\u672C");
    Parts::svgData(menu)->replace(QLatin1String("<g id=\"curve\">"),
        QStringLiteral("<g id=\"%1\"/><g id=\"%2\"/><g id=\"curve\">").arg(latin, cjk));
    menu.setEditionText(QStringLiteral("Standard"));
    QVERIFY(Parts::svgRenderer(menu)->isValid());
    QVERIFY(Parts::svgRenderer(menu)->elementExists(latin));
    QVERIFY(Parts::svgRenderer(menu)->elementExists(cjk));
    QVERIFY(Parts::svgRenderer(menu)->elementExists(QStringLiteral("StandardEdition")));
}

void tst_VlEditorStartMenu::editionLabelIsDrawn_data()
{
    QTest::addColumn<QString>("edition");
    QTest::addColumn<bool>("drawn");

    QTest::newRow("none") << QString() << false;
    QTest::newRow("Standard") << "Standard" << true;
    QTest::newRow("Professional") << "Professional" << true;
    QTest::newRow("wrong case") << "professional" << false;
    QTest::newRow("pattern") << ".*" << false;
}

void tst_VlEditorStartMenu::editionLabelIsDrawn()
{
    QFETCH(QString, edition);
    QFETCH(bool, drawn);

    // At 1280 wide the drawing is painted 1:1, so the label sits where it was drawn.
    VlEditorStartMenu menu;
    if (!edition.isNull())
        menu.setEditionText(edition);
    menu.resize(1280, 768);
    menu.show();
    QVERIFY(QTest::qWaitForWindowExposed(&menu));
    const QImage image = menu.grab().toImage();
    QCOMPARE(image.size(), QSize(1280, 768));

    const int white = whitePixelsOfLabelArea(image);
    if (drawn)
        QVERIFY2(white > 150, qPrintable(QString::number(white)));
    else
        QCOMPARE(white, 0);
}

void tst_VlEditorStartMenu::paintsDrawingAtWidthAndRepeatsTurned_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("imageHeight");

    QTest::newRow("reference, cut at bottom") << QSize(1366, 674) << 819;
    QTest::newRow("tall: upright, turned, upright") << QSize(800, 1200) << 480;
    QTest::newRow("very tall: four copies") << QSize(700, 1500) << 420;
}

void tst_VlEditorStartMenu::paintsDrawingAtWidthAndRepeatsTurned()
{
    QFETCH(QSize, size);
    QFETCH(int, imageHeight);

    VlEditorStartMenu menu;
    menu.resize(size);
    menu.show();
    QVERIFY(QTest::qWaitForWindowExposed(&menu));
    QCOMPARE(menu.size(), size);
    const QImage painted = menu.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(painted.size(), size);

    // The drawing as the menu's renderer gives it at the widget's width.
    QImage drawing(size.width(), imageHeight, QImage::Format_ARGB32);
    drawing.fill(Qt::transparent);
    {
        QPainter p(&drawing);
        Parts::svgRenderer(menu)->render(&p);
    }

    // The buttons stand inside a 200-pixel margin; compare only the strips beside it.
    const int w = size.width();
    QVector<int> columns;
    for (int x = 0; x < 190; x += 7) {
        columns << x;
        columns << w - 1 - x;
    }
    for (int y = 0; y < size.height(); y += 5) {
        const int copy = y / imageHeight;
        const int row = y % imageHeight;
        for (int x : columns) {
            const QRgb expected = copy % 2 == 0 ? drawing.pixel(x, row)
                                                : drawing.pixel(w - 1 - x, imageHeight - 1 - row);
            if (!samePixel(painted.pixel(x, y), expected)) {
                QFAIL(qPrintable(
                    QStringLiteral("pixel %1,%2 of copy %3 differs").arg(x).arg(y).arg(copy)));
            }
        }
    }
}

void tst_VlEditorStartMenu::sliverOfWidgetPaintsWithoutHanging()
{
    // One pixel wide gives a drawing of no rows; the repeat downward must not spin on it.
    QWidget host;
    host.resize(40, 600);
    auto *menu = new VlEditorStartMenu(&host);
    menu->setGeometry(0, 0, 1, 600);
    menu->exec();
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QCOMPARE(menu->size(), QSize(1, 600));

    const QImage image = menu->grab().toImage();
    QCOMPARE(image.size(), QSize(1, 600));
    QCOMPARE(image.pixelColor(0, 300), QColor(Qt::white));
}

QTEST_MAIN(tst_VlEditorStartMenu)
#include "tst_vleditorstartmenu.moc"
