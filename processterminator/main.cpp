#include "VlProcessMonitor.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    int result = 0;
    {
        QApplication application(argc, argv);
        Vela::VlProcessMonitor monitor;
        monitor.show();
        result = application.exec();
    }
    return result;
}
