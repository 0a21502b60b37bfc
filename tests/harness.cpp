#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
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

void expect_clean(const Outcome &r) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.left, std::vector<int>{});
}
