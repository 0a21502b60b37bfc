// Runs the built pdTest as a user would, with standard output on a terminal, a pipe, a file
// or a full device, and compares every byte it prints. Faults are injected with a seccomp
// filter installed just before exec, so the program meets a real failing system call.
//
// PDTEST_PROGRAM names another pdTest to test (an installed one, say) instead of the one
// built beside the tests; PDTEST_WRAPPER (for example "valgrind -q ...") is put in front
// of the program when set.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Expected output, with {addr}, {child} and {parent} standing for the values of the run.
constexpr std::string_view kBeforeFork = "메인에서 할당된 y주소 : {addr}\n"
                                         "P : X = 10, Y = 20\n";
constexpr std::string_view kChildBlock = "\n\n현재 프로세스 0\n"
                                         "자식프로세스에서 pid 반환값 : 0\n"
                                         "자식프로세스 : {child}\n"
                                         "자식프로세스 y주소 : {addr}, y값 : 20 \n"
                                         "X : X = 10, Y= 20\n"
                                         "X : X = 20, Y = 30, y주소 : {addr}\n"
                                         "자식프로세서에서 주는 y : 30\n";
constexpr std::string_view kParentBlock = "\n\n현재 프로세스 {child}\n"
                                          "부모프로세서 pid 반환값 : {child}\n"
                                          "부모프로세스 {parent}\n"
                                          "부모프로세스 y주소 : {addr}, y값: 20 \n"
                                          "P : X = 10, Y = 20\n"
                                          "P : X = 25, Y = 25, y주소 : {addr}\n"
                                          "부모프로세스에서 주는 y : 25\n";
constexpr std::string_view kForkFailed = "\n\n현재 프로세스 -1\n"
                                         "Fork error\n"
                                         "-1\n";

enum class Sink { Terminal, Pipe, File, FullDevice, Closed };
enum class Fault { None, NoFork, NoMemory };

struct Outcome {
    std::string out;
    std::string err;
    int status = -1; // as from waitpid
    pid_t pid = -1;  // the process the test launched
    double seconds = 0;
    bool children_left = false; // something was left for the test (a subreaper) to collect
    std::vector<std::pair<std::size_t, double>> reads; // bytes read so far, seconds since launch

    // The exit status, or minus the signal that ended the process.
    [[nodiscard]] int exit_code() const {
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    // The text after the first `label`, up to the end of its line.
    [[nodiscard]] std::string after(std::string_view label) const {
        const auto at = out.find(label);
        if (at == std::string::npos) {
            return "?";
        }
        const auto from = at + label.size();
        return out.substr(from, out.find('\n', from) - from);
    }

    // The transcript with this run's address and process identifiers filled in.
    [[nodiscard]] std::string expect(std::initializer_list<std::string_view> parts) const {
        std::string text;
        for (const auto part : parts) {
            text += part;
        }
        const std::pair<std::string, std::string> values[] = {
            {"{addr}", after("메인에서 할당된 y주소 : ")},
            {"{child}", after("자식프로세스 : ")},
            {"{parent}", std::to_string(pid)},
        };
        for (const auto &[key, value] : values) {
            for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
                text.replace(at, key.size(), value);
                at += value.size();
            }
        }
        return text;
    }

    // When the byte at `offset` of stdout was read.
    [[nodiscard]] double arrival(std::size_t offset) const {
        for (const auto &[bytes, when] : reads) {
            if (offset < bytes) {
                return when;
            }
        }
        return -1;
    }
};

#define ALLOW BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)
#define FAIL_WITH(err) BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (err))
#define LOAD(field) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(field))
// `yes` and `no` count the instructions to skip.
#define JUMP(test, k, yes, no) BPF_JUMP(BPF_JMP | (test) | BPF_K, k, yes, no)
// Loads the system call number; calls of any other architecture pass untouched.
#define LOAD_X86_64_SYSCALL                                                                        \
    LOAD(offsetof(seccomp_data, arch)), JUMP(BPF_JEQ, AUDIT_ARCH_X86_64, 1, 0), ALLOW,             \
        LOAD(offsetof(seccomp_data, nr))
constexpr __u32 kArg0 = offsetof(seccomp_data, args[0]);
constexpr __u32 kArg1 = offsetof(seccomp_data, args[1]);
constexpr __u32 kArg3 = offsetof(seccomp_data, args[3]);

// New processes cannot be made. clone3 answers ENOSYS so the C library falls back to clone;
// clone with CLONE_VM (a thread, as sanitizer runtimes start) is let through.
sock_filter no_fork[] = {
    LOAD_X86_64_SYSCALL,
    JUMP(BPF_JEQ, SYS_clone3, 0, 1),
    FAIL_WITH(ENOSYS),
    JUMP(BPF_JEQ, SYS_fork, 4, 0),
    JUMP(BPF_JEQ, SYS_vfork, 3, 0),
    JUMP(BPF_JEQ, SYS_clone, 0, 3),
    LOAD(kArg0),
    JUMP(BPF_JSET, CLONE_VM, 1, 0),
    FAIL_WITH(EAGAIN),
    ALLOW,
};

// The heap cannot grow: brk fails, and so do the large anonymous mappings malloc falls back
// on. The loader's file mappings and small or fixed mappings still work, so main is reached.
sock_filter no_memory[] = {
    LOAD_X86_64_SYSCALL,
    JUMP(BPF_JEQ, SYS_brk, 0, 1),
    FAIL_WITH(ENOMEM),
    JUMP(BPF_JEQ, SYS_mmap, 0, 8),
    LOAD(kArg3), // flags
    JUMP(BPF_JSET, MAP_FIXED, 6, 0),
    JUMP(BPF_JSET, MAP_ANONYMOUS, 0, 5),
    LOAD(kArg1 + 4), // length, high half
    JUMP(BPF_JGT, 0, 2, 0),
    LOAD(kArg1), // length, low half
    JUMP(BPF_JGE, 1U << 20U, 0, 1),
    FAIL_WITH(ENOMEM),
    ALLOW,
};

template <std::size_t N> void confine(sock_filter (&filter)[N]) {
    const sock_fprog prog{N, filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
        _exit(126);
    }
}

// Launches pdTest (behind `tracer`, if any) with `args` and collects everything it does.
Outcome run(Sink sink, const std::vector<std::string> &args = {}, Fault fault = Fault::None,
            const std::vector<std::string> &tracer = {}) {
    // Anything pdTest leaves behind is handed to us, where the run can see it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::vector<std::string> command = tracer;
    const char *wrapper = std::getenv("PDTEST_WRAPPER");
    std::istringstream wrapper_words(wrapper == nullptr ? "" : wrapper);
    command.insert(command.end(), std::istream_iterator<std::string>(wrapper_words), {});
    const char *program = std::getenv("PDTEST_PROGRAM");
    command.emplace_back(program == nullptr ? PDTEST_PROGRAM : program);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char *> argv(command.size() + 1, nullptr);
    std::transform(command.begin(), command.end(), argv.begin(),
                   [](auto &word) { return word.data(); });

    int out_read = -1;
    int out_write = -1;
    int fds[2];
    switch (sink) {
    case Sink::Terminal: {
        EXPECT_EQ(openpty(&out_read, &out_write, nullptr, nullptr, nullptr), 0);
        fcntl(out_read, F_SETFD, FD_CLOEXEC);
        fcntl(out_write, F_SETFD, FD_CLOEXEC);
        termios mode{};
        tcgetattr(out_write, &mode);
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST); // keep "\n" as it was written
        tcsetattr(out_write, TCSANOW, &mode);
        break;
    }
    case Sink::Pipe:
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        out_read = fds[0];
        out_write = fds[1];
        break;
    case Sink::File: {
        char path[] = "/tmp/pdTest-out-XXXXXX";
        out_write = mkostemp(path, O_CLOEXEC);
        unlink(path);
        break;
    }
    case Sink::FullDevice:
        out_write = open("/dev/full", O_WRONLY | O_CLOEXEC);
        break;
    case Sink::Closed:
        break;
    }
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const int err_read = fds[0];
    const int err_write = fds[1];
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);

    Outcome r;
    const auto start = Clock::now();
    const auto since_start = [&] {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    r.pid = fork();
    if (r.pid == 0) {
        dup2(in, STDIN_FILENO);
        if (sink == Sink::Closed) {
            close(STDOUT_FILENO);
        } else {
            dup2(out_write, STDOUT_FILENO);
        }
        dup2(err_write, STDERR_FILENO);
        if (fault == Fault::NoFork) {
            confine(no_fork);
        } else if (fault == Fault::NoMemory) {
            confine(no_memory);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in);
    close(err_write);
    if (sink != Sink::File) {
        close(out_write);
    }

    pollfd watch[] = {{out_read, POLLIN, 0}, {err_read, POLLIN, 0}};
    while (watch[0].fd >= 0 || watch[1].fd >= 0) {
        poll(watch, 2, -1);
        for (auto &w : watch) {
            if (w.fd < 0 || w.revents == 0) {
                continue;
            }
            char buf[4096];
            const auto n = read(w.fd, buf, sizeof buf);
            if (n <= 0) { // a terminal reports its last writer gone with EIO
                close(w.fd);
                w.fd = -1;
                continue;
            }
            auto &text = (&w == watch) ? r.out : r.err;
            text.append(buf, static_cast<std::size_t>(n));
            if (&w == watch) {
                r.reads.emplace_back(r.out.size(), since_start());
            }
        }
    }
    waitpid(r.pid, &r.status, 0);
    r.seconds = since_start();
    r.children_left = waitpid(-1, nullptr, WNOHANG) != -1;

    if (sink == Sink::File) {
        char buf[4096];
        for (ssize_t n;
             (n = pread(out_write, buf, sizeof buf, static_cast<off_t>(r.out.size()))) > 0;) {
            r.out.append(buf, static_cast<std::size_t>(n));
        }
        close(out_write);
    }
    return r;
}

// What every good run shares: both processes end well and say nothing on standard error
// (a fault in the child, a sanitizer report say, shows only there).
void expect_clean(const Outcome &r) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_FALSE(r.children_left);
}

TEST(Terminal, EachLineOnceAndTheChildsPauseBeforeItsResult) {
    const Outcome r = run(Sink::Terminal);
    expect_clean(r);
    EXPECT_EQ(r.out, r.expect({kBeforeFork, kChildBlock, kParentBlock}));

    const auto label = r.out.find("자식프로세서에서 주는 y");
    ASSERT_NE(label, std::string::npos);
    const double result = r.arrival(label);
    EXPECT_GE(result, 3.0);
    // And the pause sits between the child's last line and its result. The line before it may
    // have been read late on a busy machine, hence the slack.
    EXPECT_GE(result - r.arrival(label - 1), 2.5);
}

class Redirected : public testing::TestWithParam<Sink> {};

TEST_P(Redirected, BothProcessesWriteTheLinesBufferedAtTheFork) {
    const Outcome r = run(GetParam());
    expect_clean(r);
    EXPECT_EQ(r.out, r.expect({kBeforeFork, kChildBlock, kBeforeFork, kParentBlock}));
    EXPECT_GE(r.seconds, 3.0);
}

INSTANTIATE_TEST_SUITE_P(Sinks, Redirected, testing::Values(Sink::Pipe, Sink::File),
                         [](const auto &p) { return p.param == Sink::Pipe ? "Pipe" : "File"; });

TEST(Arguments, ChangeNothing) {
    const Outcome r = run(Sink::Pipe, {"--help", "-v", "", "two words", "\xff\xfe", "%s%n"});
    expect_clean(r);
    EXPECT_EQ(r.out, r.expect({kBeforeFork, kChildBlock, kBeforeFork, kParentBlock}));
}

TEST(Processes, BothExitZeroAndTheParentCollectsTheChild) {
    char trace[] = "/tmp/pdTest-strace-XXXXXX";
    close(mkstemp(trace));
    // LeakSanitizer cannot work under ptrace; the other runs look for leaks.
    const Outcome r = run(Sink::Pipe, {}, Fault::None,
                          {"strace", "-f", "-q", "-e", "trace=none", "-o", trace, "-E",
                           "ASAN_OPTIONS=detect_leaks=0"});
    std::ifstream in(trace);
    std::vector<std::string> exits;
    for (std::string line; std::getline(in, line);) {
        if (line.find("+++ exited") != std::string::npos ||
            line.find("+++ killed") != std::string::npos) {
            exits.push_back(line.substr(line.find("+++")));
        }
    }
    unlink(trace);
    expect_clean(r);
    EXPECT_EQ(exits, (std::vector<std::string>{"+++ exited with 0 +++", "+++ exited with 0 +++"}));
}

TEST(Seccomp, ForkFailureIsReportedWithStatusOneAndNoPause) {
    for (const Sink sink : {Sink::Terminal, Sink::Pipe}) {
        const Outcome r = run(sink, {}, Fault::NoFork);
        EXPECT_EQ(r.out, r.expect({kBeforeFork, kForkFailed}));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code(), 1);
        EXPECT_LT(r.seconds, 2.0);
    }
}

TEST(Seccomp, AllocationFailureStopsBeforePrintingAnything) {
    if (PDTEST_SANITIZED) {
        GTEST_SKIP() << "the sanitizer's allocator stands in for malloc";
    }
    const Outcome r = run(Sink::Pipe, {}, Fault::NoMemory);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pdTest: cannot allocate memory\n");
    EXPECT_EQ(r.exit_code(), 1);
}

TEST(Output, WriteErrorIsReportedByEachProcess) {
    const std::pair<Sink, std::string> cases[] = {{Sink::FullDevice, "No space left on device"},
                                                  {Sink::Closed, "Bad file descriptor"}};
    for (const auto &[sink, reason] : cases) {
        const Outcome r = run(sink);
        const std::string line = "pdTest: write error: " + reason + "\n";
        EXPECT_EQ(r.err, line + line);
        EXPECT_EQ(r.exit_code(), 1);
        EXPECT_FALSE(r.children_left);
    }
}

} // namespace
