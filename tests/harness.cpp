#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <stop_token>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

// A run still going after this fails its test, which is told why, before CTest's timeout would
// end the test with nothing said.
constexpr auto kRunLimit = std::chrono::seconds(50);

// What a run needs before it starts; without it the test stops at once, saying what was missing.
void need(bool ok, const char *what) {
    if (!ok) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

// Kills every process of session `sid`, looking again until none is left, as one may fork
// between a look and a kill. Gives up after a second: a process in uninterruptible sleep dies
// when it wakes.
void end_session(pid_t sid) {
    for (int pass = 0; pass < 100; ++pass) {
        bool found = false;
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
            std::string stat;
            std::getline(std::ifstream(entry.path() / "stat"), stat);
            // pid (name) state ppid pgrp session ...; a name may hold spaces and parentheses.
            std::istringstream fields(stat.substr(stat.rfind(')') + 1));
            char state = 0;
            pid_t ppid = 0;
            pid_t group = 0;
            pid_t session = 0;
            if (fields >> state >> ppid >> group >> session && session == sid && state != 'Z') {
                kill(std::stoi(entry.path().filename()), SIGKILL);
                found = true;
            }
        }
        if (!found) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// What a run tells the watcher: its session as it starts, with the scratch folder it runs in if
// any, and minus that session once nothing of it is left.
struct Notice {
    pid_t sid = 0;
    std::array<char, 32> scratch{};
};

// The write end of a pipe to a process outside the test binary. Each run puts its session on the
// pipe as it starts and takes it off when nothing of it is left; once the binary has gone,
// however it went (CTest's timeout kills it with SIGKILL), the watcher reads the end of the pipe,
// kills what the sessions still on it hold and removes their scratch folders.
int watcher() {
    static const int fd = [] {
        int fds[2];
        need(pipe2(fds, O_CLOEXEC) == 0, "a pipe to the watcher");
        const pid_t pid = fork();
        need(pid >= 0, "the watcher (fork)");
        if (pid == 0) {
            // Its parent leaves at once: the binary, made a subreaper after this, never collects
            // it, and a terminal's Ctrl-C to the binary's job does not reach it.
            if (fork() != 0) {
                _exit(0);
            }
            setsid();
            const auto kept = static_cast<unsigned>(fds[0]);
            close_range(0, kept - 1, 0);
            close_range(kept + 1, ~0U, 0);
            std::map<pid_t, std::string> sessions;
            for (Notice n; read(fds[0], &n, sizeof n) == sizeof n;) {
                if (n.sid > 0) {
                    sessions[n.sid] = n.scratch.data();
                } else {
                    sessions.erase(-n.sid);
                }
            }
            for (const auto &[sid, scratch] : sessions) {
                end_session(sid);
                std::error_code ec;
                std::filesystem::remove_all(scratch, ec);
            }
            _exit(0);
        }
        waitpid(pid, nullptr, 0);
        close(fds[0]);
        return fds[1];
    }();
    return fd;
}
} // namespace

int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

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

Outcome run(Sink sink, const Start &start) {
    const int sessions = watcher();
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
        need(mkdtemp(dir) != nullptr, "a scratch folder in /tmp");
        scratch = dir;
        std::filesystem::create_directory(scratch / "build");
        if (command.size() == 1) {
            // Traced, a link execs as build/pdTest itself, as the reader's tree does.
            std::filesystem::create_symlink(std::filesystem::absolute(command[0]),
                                            scratch / "build/pdTest");
        } else {
            std::ofstream script(scratch / "build/pdTest");
            script << "#!/bin/sh\nexec";
            for (const auto &word : command) {
                script << " '" << word << "'";
            }
            script << " \"$@\"\n";
            script.close();
            std::filesystem::permissions(scratch / "build/pdTest",
                                         std::filesystem::perms::owner_all);
        }
        for (const char *folder : {"doc", "src", "tools"}) {
            std::filesystem::create_directory_symlink(
                std::filesystem::path(PDTEST_SOURCE_DIR) / folder, scratch / folder);
        }
        command = {"sh", "-c", start.shell};
    }
    std::vector<char *> argv(command.size() + 1, nullptr);
    std::ranges::transform(command, argv.begin(), [](auto &word) { return word.data(); });
    int out_read = -1;
    int out_write = -1;
    int fds[2];
    switch (sink) {
    case Sink::Terminal: {
        need(openpty(&out_read, &out_write, nullptr, nullptr, nullptr) == 0,
             "a pseudo-terminal for pdTest's output (openpty; is /dev/pts mounted?)");
        termios mode{};
        tcgetattr(out_write, &mode);
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST); // keep "\n" as it was written
        tcsetattr(out_write, TCSANOW, &mode);
        break;
    }
    case Sink::Pipe:
        need(pipe2(fds, O_CLOEXEC) == 0, "a pipe for pdTest's output");
        out_read = fds[0];
        out_write = fds[1];
        break;
    case Sink::File: {
        char path[] = "/tmp/pdTest-out-XXXXXX";
        out_write = mkostemp(path, O_CLOEXEC);
        need(out_write >= 0, "a file for pdTest's output in /tmp");
        unlink(path);
        break;
    }
    case Sink::FullDevice:
        out_write = open("/dev/full", O_WRONLY | O_CLOEXEC);
        need(out_write >= 0, "/dev/full");
        break;
    case Sink::Closed:
        break;
    }
    need(pipe2(fds, O_CLOEXEC) == 0, "a pipe for pdTest's standard error");
    const int err_read = fds[0];
    const int err_write = fds[1];
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    need(in >= 0, "/dev/null");

    Outcome r;
    const auto launched = Clock::now();
    const auto since_launch = [&] {
        return std::chrono::duration<double>(Clock::now() - launched).count();
    };
    r.pid = fork();
    need(r.pid >= 0, "a process for the run (fork)");
    if (r.pid == 0) {
        // A job of its own, as a shell would make it, in a session of its own that the watcher
        // hears of before anything of it runs.
        setsid();
        Notice started{.sid = getpid()};
        scratch.string().copy(started.scratch.data(), started.scratch.size() - 1);
        if (write(sessions, &started, sizeof started) != sizeof started) {
            _exit(126);
        }
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
        // Nothing of the runner's reaches the run: an orphan of it holds no log or pipe open.
        close_range(STDERR_FILENO + 1, ~0U, 0);
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
    } else if (start.job_signal != 0) {
        meddler = std::jthread([group = r.pid, signal = start.job_signal] {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            kill(-group, signal);
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
    bool overran = false;
    std::mutex limit_mutex;
    std::jthread limit([&, sid = r.pid](const std::stop_token &stop) {
        std::unique_lock lock(limit_mutex);
        std::condition_variable_any().wait_for(lock, stop, kRunLimit, [] { return false; });
        if (!stop.stop_requested()) {
            overran = true;
            end_session(sid);
        }
    });
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
    limit.request_stop();
    limit.join();
    const Notice ended{.sid = -r.pid};
    [[maybe_unused]] const auto told = write(sessions, &ended, sizeof ended);
    if (overran) {
        std::string words;
        for (const auto &word : command) {
            words += " " + word;
        }
        ADD_FAILURE() << "still running after " << kRunLimit.count()
                      << " s, so it was ended with all it had started:" << words;
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

void expect_clean(const Outcome &r) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.left, std::vector<int>{});
}
