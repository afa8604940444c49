// Enters the render process's sandbox and then tries one operation, for tst_vlpdfsandbox.
//
//   vela-sandbox-probe OPERATION DIR
//
// Exit code 0: the operation succeeded; 1: it was refused with an error; 2: the sandbox
// could not be entered; 3: unknown operation. A forbidden operation normally never returns:
// the process is killed by SIGSYS.
#include "VlPdfSandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

int result(bool ok)
{
    return ok ? 0 : 1;
}

int attempt(int argc, char **argv)
{
    if (argc != 3)
        return 3;
    const std::string op = argv[1];
    const std::string dir = argv[2];
    const std::string existing = dir + "/readable";
    const std::string fresh = dir + "/fresh";

    const char *failedStep = nullptr;
    if (!Vela::VlPdfSandbox::enter(512ull << 20, &failedStep)) {
        std::fprintf(stderr, "sandbox: %s\n", failedStep);
        return 2;
    }

    if (op == "read") {
        const int fd = open(existing.c_str(), O_RDONLY | O_CLOEXEC);
        char byte;
        return result(fd >= 0 && read(fd, &byte, 1) == 1);
    }
    if (op == "thread") {
        bool ran = false;
        std::thread([&ran] { ran = true; }).join();
        return result(ran);
    }
    if (op == "signal-self")
        return result(kill(getpid(), SIGCONT) == 0);
    if (op == "exec") {
        execl("/bin/true", "true", static_cast<char *>(nullptr));
        return 1;
    }
    if (op == "fork") {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        return result(child > 0);
    }
    if (op == "socket")
        return result(socket(AF_INET, SOCK_STREAM, 0) >= 0);
    if (op == "connect") {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        return result(connect(0, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
    }
    if (op == "open-write")
        return result(open(existing.c_str(), O_WRONLY) >= 0);
    if (op == "open-append")
        return result(open(existing.c_str(), O_RDONLY | O_APPEND) >= 0);
    if (op == "create")
        return result(open(fresh.c_str(), O_RDONLY | O_CREAT, 0600) >= 0);
    if (op == "creat")
        return result(creat(fresh.c_str(), 0600) >= 0);
    if (op == "temporary")
        return result(open(dir.c_str(), O_TMPFILE | O_RDWR, 0600) >= 0);
    if (op == "truncate")
        return result(truncate(existing.c_str(), 0) == 0);
    if (op == "rename")
        return result(rename(existing.c_str(), fresh.c_str()) == 0);
    if (op == "unlink")
        return result(unlink(existing.c_str()) == 0);
    if (op == "mkdir")
        return result(mkdir(fresh.c_str(), 0700) == 0);
    if (op == "symlink")
        return result(symlink(existing.c_str(), fresh.c_str()) == 0);
    if (op == "link")
        return result(link(existing.c_str(), fresh.c_str()) == 0);
    if (op == "chmod")
        return result(chmod(existing.c_str(), 0777) == 0);
    if (op == "chown")
        return result(chown(existing.c_str(), 1, 1) == 0);
    if (op == "ptrace")
        return result(ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0);
    if (op == "signal-parent")
        return result(kill(getppid(), SIGCONT) == 0);
    if (op == "signal-group")
        return result(kill(0, SIGCONT) == 0);
    return 3;
}

} // namespace

// Ends without the exit handlers: a leak checker's would fork a tracer, which the sandbox
// forbids like any other fork.
int main(int argc, char **argv)
{
    _exit(attempt(argc, argv));
}
