// The faults the tests inject, for real: a seccomp filter made with libseccomp. Built into the
// tests and into `confined`, which runs a command under one, for a tool that traces what it
// runs: strace could not start the command with the filter already on itself.

#include "harness.hpp"

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <unistd.h>

void confine(Fault fault) {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    bool ok = filter != nullptr;
    const auto refuse = [&](int call, int error, std::initializer_list<scmp_arg_cmp> when = {}) {
        ok =
            ok && seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(static_cast<uint32_t>(error)), call,
                                         static_cast<unsigned>(when.size()), std::data(when)) == 0;
    };
    switch (fault) {
    case Fault::NoFork: // clone3 is refused as unknown, so the C library falls back on clone
        refuse(SCMP_SYS(clone3), ENOSYS);
        refuse(SCMP_SYS(fork), EAGAIN);
        refuse(SCMP_SYS(vfork), EAGAIN);
        refuse(SCMP_SYS(clone), EAGAIN,
               {{.arg = 0, .op = SCMP_CMP_MASKED_EQ, .datum_a = CLONE_VM, .datum_b = 0}});
        break;
    case Fault::NoMemory: // brk, and the large anonymous mappings that malloc falls back on
        refuse(SCMP_SYS(brk), ENOMEM);
        refuse(SCMP_SYS(mmap), ENOMEM,
               {{.arg = 1, .op = SCMP_CMP_GE, .datum_a = 1U << 20U, .datum_b = 0},
                {.arg = 3,
                 .op = SCMP_CMP_MASKED_EQ,
                 .datum_a = MAP_ANONYMOUS | MAP_FIXED,
                 .datum_b = MAP_ANONYMOUS}});
        break;
    case Fault::NoWait: // a plain wait only: LeakSanitizer waits for its tracer with __WALL
        refuse(SCMP_SYS(wait4), EPERM, {{.arg = 2, .op = SCMP_CMP_EQ, .datum_a = 0, .datum_b = 0}});
        break;
    case Fault::None:
        return;
    }
    if (!ok || seccomp_load(filter) != 0) {
        _exit(126);
    }
}

#ifdef PDTEST_CONFINED
// confined no-fork|no-memory|no-wait PROGRAM [ARGUMENT...]
int main(int argc, char *argv[]) {
    if (argc < 3) {
        (void)std::fputs("usage: confined no-fork|no-memory|no-wait PROGRAM [ARGUMENT...]\n",
                         stderr);
        return 2;
    }
    const std::string_view name = argv[1];
    const Fault fault = name == "no-fork"     ? Fault::NoFork
                        : name == "no-memory" ? Fault::NoMemory
                        : name == "no-wait"   ? Fault::NoWait
                                              : Fault::None;
    confine(fault);
    execvp(argv[2], &argv[2]);
    std::perror(argv[2]);
    return 127;
}
#endif
