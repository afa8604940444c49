#include "FuzzTargets.h"

#include <QApplication>

#include <cstdio>

namespace VelaFuzz {

void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The application object lives as long as the process; its arguments must too.
    static int argc = 1;
    static char name[] = "vela-fuzz";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

bool check(bool ok, const char *what)
{
    if (!ok)
        std::fprintf(stderr, "property failed: %s\n", what);
    return ok;
}

} // namespace VelaFuzz
