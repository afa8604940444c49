#include <VlEditorStartMenu.h>
#include <QtTest>
class tst_VlEditorStartMenu : public QObject
{
    Q_OBJECT
private slots:
    void constructs() { Vela::VlEditorStartMenu m; }
};
QTEST_MAIN(tst_VlEditorStartMenu)
#include "tst_vleditorstartmenu.moc"
