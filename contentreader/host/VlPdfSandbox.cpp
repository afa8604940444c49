#include "VlPdfSandbox.h"

#include <QtGlobal>

#ifdef Q_OS_LINUX

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define VELA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELA_ADDRESS_SANITIZER 1
#endif
#endif

#ifndef __O_TMPFILE
#define __O_TMPFILE 020000000
#endif

namespace Vela {

namespace {

bool limit(int resource, rlim_t value)
{
    const rlimit bounds = {value, value};
    return setrlimit(resource, &bounds) == 0;
}

// Frees the filter context on every return path.
class FilterScope
{
public:
    FilterScope()
        : context(seccomp_init(SCMP_ACT_ALLOW))
    { }
    ~FilterScope()
    {
        if (context)
            seccomp_release(context);
    }
    FilterScope(const FilterScope &) = delete;
    FilterScope &operator=(const FilterScope &) = delete;

    scmp_filter_ctx context;
};

} // namespace

bool VlPdfSandbox::enter(unsigned long long memoryLimit, const char **failedStep)
{
    const auto fail = [failedStep](const char *step) {
        if (failedStep)
            *failedStep = step;
        return false;
    };

#ifndef VELA_ADDRESS_SANITIZER
    // The address space, not the resident size: a page that makes PDFium allocate without
    // end fails its allocation here, inside this process, instead of taking the machine's
    // memory. (AddressSanitizer reserves terabytes of shadow memory up front, so its builds
    // keep this one limit off.)
    if (!limit(RLIMIT_AS, rlim_t(memoryLimit)))
        return fail("address space limit");
#else
    Q_UNUSED(memoryLimit);
#endif
    if (!limit(RLIMIT_CORE, 0))
        return fail("core file limit");
    if (!limit(RLIMIT_FSIZE, 0))
        return fail("file size limit");
    // The socket, the standard streams, a few documents' font files at a time.
    if (!limit(RLIMIT_NOFILE, 32))
        return fail("open file limit");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return fail("no new privileges");

    FilterScope filter;
    if (!filter.context)
        return fail("seccomp filter");
    scmp_filter_ctx ctx = filter.context;
    const uint32_t kill = SCMP_ACT_KILL_PROCESS;

    static const int forbidden[] = {// running programs and making processes
        SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork),
        // the network, and new local sockets
        SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen),
        SCMP_SYS(accept), SCMP_SYS(accept4),
        // changing the file system
        SCMP_SYS(creat), SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2),
        SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(rmdir), SCMP_SYS(mkdir), SCMP_SYS(mkdirat),
        SCMP_SYS(mknod), SCMP_SYS(mknodat), SCMP_SYS(link), SCMP_SYS(linkat), SCMP_SYS(symlink),
        SCMP_SYS(symlinkat), SCMP_SYS(truncate), SCMP_SYS(chmod), SCMP_SYS(fchmod),
        SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(fchown), SCMP_SYS(lchown), SCMP_SYS(fchownat),
        SCMP_SYS(utime), SCMP_SYS(utimes), SCMP_SYS(utimensat), SCMP_SYS(futimesat),
        SCMP_SYS(setxattr), SCMP_SYS(lsetxattr), SCMP_SYS(fsetxattr), SCMP_SYS(removexattr),
        SCMP_SYS(lremovexattr), SCMP_SYS(fremovexattr), SCMP_SYS(open_by_handle_at),
        SCMP_SYS(name_to_handle_at), SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root),
        SCMP_SYS(chroot),
        // other processes
        SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
        SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo), SCMP_SYS(pidfd_open),
        SCMP_SYS(pidfd_send_signal), SCMP_SYS(pidfd_getfd), SCMP_SYS(setns), SCMP_SYS(unshare),
        // ways around the rules above, and kernel surfaces a renderer has no use for
        SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register),
        SCMP_SYS(bpf), SCMP_SYS(perf_event_open), SCMP_SYS(userfaultfd), SCMP_SYS(keyctl),
        SCMP_SYS(add_key), SCMP_SYS(request_key), SCMP_SYS(kexec_load), SCMP_SYS(init_module),
        SCMP_SYS(finit_module), SCMP_SYS(delete_module), SCMP_SYS(fanotify_init),
        SCMP_SYS(personality)};
    for (int call : forbidden) {
        if (seccomp_rule_add(ctx, kill, call, 0) != 0)
            return fail("seccomp rule");
    }

    // Threads may be made, processes not: clone without CLONE_THREAD is a fork.
    if (seccomp_rule_add(
            ctx, kill, SCMP_SYS(clone), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0))
        != 0)
        return fail("seccomp clone rule");
    // clone3 and openat2 pass their flags in memory, which a filter cannot read: they fail
    // as unknown, and the C library falls back to clone and openat.
    if (seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0
        || seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2), 0) != 0)
        return fail("seccomp fallback rule");

    // Opening for reading only: any flag that writes, truncates or creates is fatal.
    static const unsigned long writingFlags[]
        = {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND, __O_TMPFILE};
    for (unsigned long flag : writingFlags) {
        if (seccomp_rule_add(ctx, kill, SCMP_SYS(open), 1, SCMP_A1(SCMP_CMP_MASKED_EQ, flag, flag))
                != 0
            || seccomp_rule_add(
                   ctx, kill, SCMP_SYS(openat), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag))
                != 0)
            return fail("seccomp open rule");
    }

    // Signals to itself only (abort() raises SIGABRT with tgkill); the process has one
    // thread, whose id is the process id.
    // Spelled out rather than SCMP_A0(), which leaves datum_b to clang's missing-initializer
    // warning.
    const scmp_arg_cmp notSelf {0, SCMP_CMP_NE, scmp_datum_t(getpid()), 0};
    if (seccomp_rule_add(ctx, kill, SCMP_SYS(kill), 1, notSelf) != 0
        || seccomp_rule_add(ctx, kill, SCMP_SYS(tkill), 1, notSelf) != 0
        || seccomp_rule_add(ctx, kill, SCMP_SYS(tgkill), 1, notSelf) != 0)
        return fail("seccomp signal rule");

    if (seccomp_load(ctx) != 0)
        return fail("seccomp load");
    return true;
}

} // namespace Vela

#else

namespace Vela {

bool VlPdfSandbox::enter(unsigned long long, const char **failedStep)
{
    if (failedStep)
        *failedStep = "no sandbox on this platform";
    return false;
}

} // namespace Vela

#endif
