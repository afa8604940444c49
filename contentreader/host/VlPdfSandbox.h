#ifndef VELA_VLPDFSANDBOX_H
#define VELA_VLPDFSANDBOX_H

// Not installed: the confinement of a render process, shared by vela-pdf-host and the test
// program that tries what it forbids. Linux only.

namespace Vela {

class VlPdfSandbox
{
public:
    // Confines the calling process for good: resource limits (address space memoryLimit
    // bytes, no core files, no file growth, few open files), no new privileges, and a
    // seccomp filter that kills the process on any attempt to run a program, fork, make a
    // socket or connect, open a file for writing or create one, rename, unlink, change
    // permissions or owners, trace, or signal another process. Reading files stays allowed:
    // PDFium opens font files when a page first needs them. Call it after everything the
    // process needs is loaded and before it parses untrusted data. False, with the step that
    // failed, when the process could not be confined; it must then not go on.
    static bool enter(unsigned long long memoryLimit, const char **failedStep);
};

} // namespace Vela

#endif
