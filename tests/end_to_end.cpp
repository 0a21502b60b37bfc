// Runs the built pdTest as a user would, with standard output on a terminal, a pipe, a file
// or a full device, started directly, by a shell or with signals set as a parent left them,
// and compares every byte it prints. Faults are injected with a seccomp filter installed just
// before exec, so the program meets a real failing system call.
//
// PDTEST_PROGRAM names another pdTest to test (an installed one, say) instead of the one
// built beside the tests; PDTEST_WRAPPER (for example "valgrind -q ...") is put in front
// of the program when set.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
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
// What the child shows on a terminal before its pause.
constexpr std::string_view kChildUntilPause =
    kChildBlock.substr(0, kChildBlock.rfind("자식프로세서"));
constexpr std::string_view kForkFailed = "\n\n현재 프로세스 -1\n"
                                         "Fork error\n"
                                         "-1\n";

// An inherited job lasts longer than pdTest's run takes, even under valgrind.
constexpr unsigned kJobSeconds = 8;

enum class Sink : std::uint8_t { Terminal, Pipe, File, FullDevice, Closed };
enum class Fault : std::uint8_t { None, NoFork, NoMemory, NoWait };

// How pdTest is started, besides where its output goes.
struct Start {
    std::vector<std::string> args{};   // after the program's name
    std::vector<std::string> before{}; // words in front of it: a tracer, a shell
    Fault fault = Fault::None;
    bool inherited_job = false;   // the process that becomes pdTest first starts a job of its own
    bool sigchld_ignored = false; // a disposition that survives exec
    bool stopped_midway = false;  // both processes stopped for a second, then continued
    int child_signal = 0;         // sent to pdTest's child a second into its pause
    // When set, run these commands, as their reader types them, with sh in a scratch folder
    // where build/pdTest starts the program as the fields above say and doc/ is the source's.
    std::string shell{};
};

// The exit status, or minus the signal that ended the process.
int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// The text after the first `label`, up to the end of its line.
std::string after(const std::string &text, std::string_view label) {
    const auto at = text.find(label);
    if (at == std::string::npos) {
        return "?";
    }
    const auto from = at + label.size();
    return text.substr(from, text.find('\n', from) - from);
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

struct Outcome {
    std::string out;
    std::string err;
    int status = -1; // as from waitpid
    pid_t pid = -1;  // the process the test launched
    double seconds = 0;
    std::vector<int> left; // exit codes of what pdTest left for the test (a subreaper) to collect
    std::vector<std::pair<std::size_t, double>> reads; // bytes read so far, seconds since launch

    [[nodiscard]] int exit_code() const {
        return ::exit_code(status);
    }

    // The transcript with this run's address and process identifiers filled in.
    [[nodiscard]] std::string expect(std::initializer_list<std::string_view> parts) const {
        std::string text;
        for (const auto part : parts) {
            text += part;
        }
        replace_all(text, "{addr}", after(out, "메인에서 할당된 y주소 : "));
        replace_all(text, "{child}", after(out, "부모프로세서 pid 반환값 : "));
        replace_all(text, "{parent}", std::to_string(pid));
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

// Makes `fault` happen for real in this process and whatever it executes, through a seccomp
// filter resolved for the architecture the tests run on. Threads are still allowed, as
// sanitizer runtimes start some.
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

// Launches pdTest as `start` says and collects everything it does.
Outcome run(Sink sink, const Start &start = {}) {
    // Anything pdTest leaves behind is handed to us, where the run can see it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::vector<std::string> command = start.before;
    const char *wrapper = std::getenv("PDTEST_WRAPPER");
    std::istringstream wrapper_words(wrapper == nullptr ? "" : wrapper);
    command.insert(command.end(), std::istream_iterator<std::string>(wrapper_words), {});
    const char *program = std::getenv("PDTEST_PROGRAM");
    command.emplace_back(program == nullptr ? PDTEST_PROGRAM : program);
    command.insert(command.end(), start.args.begin(), start.args.end());
    std::filesystem::path scratch;
    if (!start.shell.empty()) {
        char dir[] = "/tmp/pdTest-shell-XXXXXX";
        scratch = mkdtemp(dir);
        std::filesystem::create_directory(scratch / "build");
        std::ofstream script(scratch / "build/pdTest");
        script << "#!/bin/sh\nexec";
        for (const auto &word : command) {
            script << " '" << word << "'";
        }
        script << " \"$@\"\n";
        script.close();
        std::filesystem::permissions(scratch / "build/pdTest", std::filesystem::perms::owner_all);
        std::filesystem::create_directory_symlink(std::filesystem::path(PDTEST_SOURCE_DIR) / "doc",
                                                  scratch / "doc");
        command = {"sh", "-c", start.shell};
    }
    std::vector<char *> argv(command.size() + 1, nullptr);
    std::ranges::transform(command, argv.begin(), [](auto &word) { return word.data(); });
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
    const auto launched = Clock::now();
    const auto since_launch = [&] {
        return std::chrono::duration<double>(Clock::now() - launched).count();
    };
    r.pid = fork();
    if (r.pid == 0) {
        setpgid(0, 0); // a job of its own, as a shell would make it
        if (!scratch.empty() && chdir(scratch.c_str()) != 0) {
            _exit(126);
        }
        if (start.inherited_job && fork() == 0) {
            // Outlives pdTest's run and holds none of its streams open.
            close_range(STDIN_FILENO, ~0U, 0);
            sleep(kJobSeconds);
            _exit(7);
        }
        if (start.sigchld_ignored) {
            (void)signal(SIGCHLD, SIG_IGN);
        }
        dup2(in, STDIN_FILENO);
        if (sink == Sink::Closed) {
            close(STDOUT_FILENO);
        } else {
            dup2(out_write, STDOUT_FILENO);
        }
        dup2(err_write, STDERR_FILENO);
        confine(start.fault);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    std::jthread meddler;
    if (start.stopped_midway) {
        meddler = std::jthread([group = r.pid] {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            kill(-group, SIGSTOP);
            std::this_thread::sleep_for(std::chrono::seconds(1));
            kill(-group, SIGCONT);
        });
    } else if (start.child_signal != 0) {
        // pdTest's child is the one process its children list names, once it has forked.
        meddler = std::jthread([pid = r.pid, signal = start.child_signal] {
            const auto list =
                "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
            pid_t child = 0;
            for (int tries = 0; child == 0 && tries < 200; ++tries) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                std::ifstream(list) >> child;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (child > 0) {
                kill(child, signal);
            }
        });
    }
    close(in);
    close(err_write);
    if (sink != Sink::File) {
        close(out_write);
    }

    pollfd watch[] = {{.fd = out_read, .events = POLLIN, .revents = 0},
                      {.fd = err_read, .events = POLLIN, .revents = 0}};
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
                r.reads.emplace_back(r.out.size(), since_launch());
            }
        }
    }
    waitpid(r.pid, &r.status, 0);
    r.seconds = since_launch();
    for (int status = 0; waitpid(-1, &status, 0) > 0;) {
        r.left.push_back(exit_code(status));
    }

    if (sink == Sink::File) {
        char buf[4096];
        for (ssize_t n;
             (n = pread(out_write, buf, sizeof buf, static_cast<off_t>(r.out.size()))) > 0;) {
            r.out.append(buf, static_cast<std::size_t>(n));
        }
        close(out_write);
    }
    if (!scratch.empty()) {
        std::filesystem::remove_all(scratch);
    }
    return r;
}

// What every good run shares: both processes end well and say nothing on standard error
// (a fault in the child, a sanitizer report say, shows only there).
void expect_clean(const Outcome &r) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.left, std::vector<int>{});
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
    const Outcome r =
        run(Sink::Pipe, {.args = {"--help", "-v", "", "two words", "\xff\xfe", "%s%n"}});
    expect_clean(r);
    EXPECT_EQ(r.out, r.expect({kBeforeFork, kChildBlock, kBeforeFork, kParentBlock}));
}

TEST(Processes, BothExitZeroAndTheParentCollectsTheChild) {
    char trace[] = "/tmp/pdTest-strace-XXXXXX";
    close(mkstemp(trace));
    // LeakSanitizer cannot work under ptrace; the other runs look for leaks.
    const Outcome r = run(Sink::Pipe, {.before = {"strace", "-f", "-q", "-e", "trace=none", "-o",
                                                  trace, "-E", "ASAN_OPTIONS=detect_leaks=0"}});
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

// A process started by exec keeps the children of the one it replaced; pdTest must wait for
// the child it made, never for those.
TEST(Inherited, AShellsJobDoesNotCutTheChildsBlock) {
    const Outcome r = run(Sink::Terminal, {.before = {"sh", "-c", R"(sleep 1 & exec "$0" "$@")"}});
    EXPECT_EQ(r.out, r.expect({kBeforeFork, kChildBlock, kParentBlock}));
    EXPECT_GE(r.arrival(r.out.rfind("\n\n현재 프로세스 ")), 3.0); // the parent's first line
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.left, std::vector<int>{0}); // the sleep, never collected by pdTest
}

TEST(Inherited, AJobIsNeitherWaitedForNorCollected) {
    const Outcome r = run(Sink::Pipe, {.inherited_job = true});
    EXPECT_EQ(r.out, r.expect({kBeforeFork, kChildBlock, kBeforeFork, kParentBlock}));
    EXPECT_LT(r.seconds, kJobSeconds - 1); // did not wait for the job
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.left, std::vector<int>{7});
}

TEST(Signals, IgnoredSigchldOrAStopOnTheWayChangeNothing) {
    for (const Start &start : {Start{.sigchld_ignored = true}, Start{.stopped_midway = true}}) {
        const Outcome r = run(Sink::Pipe, start);
        expect_clean(r);
        EXPECT_EQ(r.out, r.expect({kBeforeFork, kChildBlock, kBeforeFork, kParentBlock}));
    }
}

// A child that dies loses what it had not written yet; the parent still prints its whole
// block, then says how the child ended and exits 1, even if it was started with SIGCHLD ignored.
TEST(ChildKilled, TheParentSaysHowAndExitsOne) {
    for (const bool ignored : {false, true}) {
        const Outcome r = run(Sink::File, {.sigchld_ignored = ignored, .child_signal = SIGKILL});
        EXPECT_EQ(r.out, r.expect({kBeforeFork, kParentBlock}));
        EXPECT_EQ(r.err, r.expect({"pdTest: child {child} killed by signal 9 (Killed)\n"}));
        EXPECT_EQ(r.exit_code(), 1);
    }
    const Outcome r = run(Sink::Terminal, {.child_signal = SIGTERM});
    EXPECT_EQ(r.out, r.expect({kBeforeFork, kChildUntilPause, kParentBlock}));
    EXPECT_EQ(r.err, r.expect({"pdTest: child {child} killed by signal 15 (Terminated)\n"}));
    EXPECT_EQ(r.exit_code(), 1);
}

TEST(Seccomp, ARefusedWaitIsReportedAndTheChildLeftToItsAdopter) {
    const Outcome r = run(Sink::Pipe, {.fault = Fault::NoWait});
    EXPECT_EQ(r.out, r.expect({kBeforeFork, kParentBlock, kBeforeFork, kChildBlock}));
    EXPECT_LT(r.arrival(0), 2.0); // the parent did not sit out the child's pause
    EXPECT_EQ(r.err, "pdTest: waitpid: Operation not permitted\n");
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.left, std::vector<int>{0});
}

TEST(Seccomp, ForkFailureIsReportedWithStatusOneAndNoPause) {
    const std::pair<Sink, bool> cases[] = {
        {Sink::Terminal, false}, {Sink::Pipe, false}, {Sink::Pipe, true}};
    for (const auto &[sink, job] : cases) {
        const Outcome r = run(sink, {.fault = Fault::NoFork, .inherited_job = job});
        EXPECT_EQ(r.out, r.expect({kBeforeFork, kForkFailed}));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code(), 1);
        EXPECT_LT(r.seconds, 2.0);
        EXPECT_EQ(r.left, job ? std::vector<int>{7} : std::vector<int>{});
    }
}

TEST(Seccomp, AllocationFailureStopsBeforePrintingAnything) {
    if (PDTEST_SANITIZED) {
        GTEST_SKIP() << "the sanitizer's allocator stands in for malloc";
    }
    const Outcome r = run(Sink::Pipe, {.fault = Fault::NoMemory});
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
        EXPECT_EQ(r.left, std::vector<int>{});
    }
}

// A transcript in the documentation: a fenced text block that begins with "$ " and a command,
// one of whose commands runs build/pdTest. Lines that begin with "$ " are typed, one after
// another in one shell; the rest is what the terminal showed.
struct Transcript {
    // cppcheck-suppress unusedStructMember ; read by kTestName, inside a gtest macro
    std::string name{}; // where it is, as a test name
    std::string shown{};
    std::string script{}; // prints each typed line, then runs it
    bool by_shape = false;
};

// A transcript whose numbers come from more than pdTest's own lines (ps, strace, /proc) is
// compared by shape; the comment before its block says why.
constexpr std::string_view kByShape = "<!-- compared by shape: ";

std::vector<Transcript> documented(std::initializer_list<std::string> files) {
    std::vector<Transcript> found;
    for (const std::string &file : files) {
        std::ifstream in(std::filesystem::path(PDTEST_SOURCE_DIR) / file);
        Transcript t;
        bool fenced = false;
        bool by_shape = false;
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (line.starts_with("```")) {
                if (fenced && t.shown.find("build/pdTest") != std::string::npos) {
                    found.push_back(t);
                }
                fenced = !fenced && line == "```text";
                const auto base = std::filesystem::path(file).filename().string();
                t = {.name = base.substr(0, base.find('.')) +
                             (file.ends_with(".ko.md") ? "_ko" : "") + "_line_" +
                             std::to_string(number),
                     .by_shape = by_shape};
            } else if (fenced && (line.starts_with("$ ") || !t.shown.empty())) {
                t.shown += line + "\n";
                if (line.starts_with("$ ")) {
                    t.script += "cat <<'PROMPT'\n" + line + "\nPROMPT\n" + line.substr(2) + "\n";
                }
            }
            by_shape = line.starts_with(kByShape);
        }
    }
    return found;
}

// The text with its own address and process identifiers read back and put as placeholders;
// by shape, with every address, number and run of blanks alike.
std::string generalized(std::string text, bool by_shape) {
    std::vector<std::pair<std::string, std::string>> values = {
        {after(text, "메인에서 할당된 y주소 : "), "{addr}"},
        {after(text, "자식프로세스 : "), "{child}"},
        {after(text, "부모프로세스 "), "{parent}"}};
    // A longer number first, in case a shorter one is part of it.
    std::ranges::sort(values,
                      [](const auto &a, const auto &b) { return a.first.size() > b.first.size(); });
    for (const auto &[value, key] : values) {
        if (value != "?" && !value.empty()) {
            replace_all(text, value, key);
        }
    }
    if (by_shape) {
        text = std::regex_replace(text, std::regex("0x[0-9a-f]+|[0-9a-f]{9,}"), "{addr}");
        text = std::regex_replace(text, std::regex("[0-9]+"), "{n}");
        text = std::regex_replace(text, std::regex("[ \t]+"), " ");
        replace_all(text, "\n ", "\n"); // columns padded to the width of this run's numbers
    }
    return text;
}

void PrintTo(const Transcript &t, std::ostream *out) {
    *out << t.shown.substr(0, t.shown.find('\n'));
}

class Documented : public testing::TestWithParam<Transcript> {};

TEST_P(Documented, TranscriptIsWhatARealRunShows) {
    // Standard error shows on the terminal too, as it does for the reader.
    const Outcome r = run(Sink::Terminal, {.shell = "exec 2>&1\n" + GetParam().script});
    EXPECT_EQ(generalized(GetParam().shown, GetParam().by_shape),
              generalized(r.out, GetParam().by_shape));
}

const auto kTestName = [](const testing::TestParamInfo<Transcript> &p) { return p.param.name; };
INSTANTIATE_TEST_SUITE_P(Readmes, Documented,
                         testing::ValuesIn(documented({"README.md", "README.ko.md"})), kTestName);
INSTANTIATE_TEST_SUITE_P(
    Experiments, Documented,
    testing::ValuesIn(documented({"doc/experiments.md", "doc/experiments.ko.md"})), kTestName);

} // namespace
