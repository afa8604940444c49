// The libFuzzer entry point of one target, chosen by VELA_FUZZ_TARGET at compile time.

#include "FuzzTargets.h"

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The libraries report every refused input on the debug log; millions of lines would only
// slow the fuzzer down. Fatal messages still abort.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quietMessages);
    VelaFuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    if (!VelaFuzz::VELA_FUZZ_TARGET(input))
        std::abort();
    return 0;
}
