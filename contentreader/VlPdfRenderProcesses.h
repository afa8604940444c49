#ifndef VELA_VLPDFRENDERPROCESSES_H
#define VELA_VLPDFRENDERPROCESSES_H

// Not installed: lets the library's own tools start a render process before the first page is
// asked for.

#include "vlcontentreader_export.h"

namespace Vela {

// The reader starts a render process when a PDF is first asked for, and the page then waits
// for that start (about as long as drawing a text page). A program that knows early that it
// will draw PDF pages, and has nothing else to start them with, says so here: one process is
// started now, while the program measures its documents. It ends after the idle thread
// timeout when no page comes. Does nothing without render processes. Thread-safe.
class VLCONTENTREADER_EXPORT VlPdfRenderProcesses
{
public:
    static void startAhead();
};

} // namespace Vela

#endif
