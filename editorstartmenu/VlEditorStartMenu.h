#ifndef VELA_VLEDITORSTARTMENU_H
#define VELA_VLEDITORSTARTMENU_H

#include "vleditorstartmenu_export.h"

#include "VlWidgetContainer.h"

#include <QPointer>
#include <QString>
#include <QWidget>

class QSvgRenderer;

namespace Vela {

// The editor's start screen: the product artwork over the whole widget, four menu buttons
// that only emit requests to the host, an edition label inside the artwork and a waiting
// overlay the host can lay over everything while it is busy. GUI thread only.
//
// Host order: construct with the host's QMainWindow as parent, connect the four
// requestedTo... signals, call exec(). Given a QMainWindow, the menu stays parentless until
// exec() makes it the window's central widget (the window then owns it); given any other
// parent it is that widget's child at once.
class VLEDITORSTARTMENU_EXPORT VlEditorStartMenu : public QWidget
{
    Q_OBJECT

public:
    explicit VlEditorStartMenu(QWidget *parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());
    ~VlEditorStartMenu() override;

    VlEditorStartMenu(const VlEditorStartMenu &) = delete;
    VlEditorStartMenu &operator=(const VlEditorStartMenu &) = delete;

    // Places the menu (central widget of the main window, if one was given) and shows it.
    // Returns at once; the host runs the event loop.
    void exec();

    QString editionText();
    // Shows the artwork's label "<text>Edition" and hides the others; a text that names no
    // label (empty, unknown, other case) hides all of them.
    void setEditionText(const QString &text);

signals:
    void requestedToShowStageEditor();
    void requestedToExit();
    void requestedToShowConfiguration();
    void requestedToShowScheduler();
    void resized(const QSize &size);
    void requestedToChnageWaitingWidgetLabelText(const QString &text);

public slots:
    void requestToShowStageEditor();
    void requestToExit();
    void requestToShowConfiguration();
    void requestToShowScheduler();
    void setWaitingWidgetVisible(bool visible);
    void setWaitingWidgetLabelText(const QString &text);

protected:
    bool event(QEvent *e) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *e) override;

private slots:
    void onResized(const QSize &size);
    void correctWidgets(const QSize &parentSize);

private:
    friend class VlEditorStartMenuPrivate;

    void setup();
    void createWaitingWidget();
    void initSvgData();
    void updateEdition();
    static void removeDisplayAttributeFromElement(QString *svg, const QString &id);
    static void setNoneToDisplayAttributeOfEditionId(QString *svg);

    // The QMainWindow given as parent. Guarded, because a host may destroy that window
    // without ever calling exec(); held as a plain QObject, because after exec() the window
    // destroys the menu from its own destructor, when it is no longer a QMainWindow.
    QPointer<QObject> m_mainWindow;
    QSvgRenderer *m_svgRenderer = nullptr;
    QString *m_svgData = nullptr;
    QString m_editionText;
    QWidget *m_waitingWidget = nullptr;
    VlWidgetContainer m_buttons;
};

} // namespace Vela

#endif
