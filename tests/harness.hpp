// The run harness the test files share: it starts the built pdTest as a user would, with
// standard output on a terminal, a pipe, a file or a full device, started directly, by a shell
// or with signals set as a parent left them, and collects every byte it prints. Faults are
// injected with a seccomp filter installed just before exec, so the program meets a real
// failing system call.
//
// Each run is a session of its own, which ends whole with the run. A run still going after 50 s
// is ended and fails its test; if the test binary itself dies (CTest's timeout kills it), a
// watcher process it left outside itself ends what its runs had started. A run's processes get
// standard input, output and error and no other descriptor of the binary's.
//
// PDTEST_PROGRAM names another pdTest to test (an installed one, say) instead of the one
// built beside the tests; PDTEST_WRAPPER (for example "valgrind -q ...") is put in front
// of the program when set.

#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

// Expected output, with {addr}, {child} and {parent} standing for the values of the run.
inline constexpr std::string_view kBeforeFork = "메인에서 할당된 y주소 : {addr}\n"
                                                "P : X = 10, Y = 20\n";
inline constexpr std::string_view kChildBlock = "\n\n현재 프로세스 0\n"
                                                "자식프로세스에서 pid 반환값 : 0\n"
                                                "자식프로세스 : {child}\n"
                                                "자식프로세스 y주소 : {addr}, y값 : 20 \n"
                                                "X : X = 10, Y= 20\n"
                                                "X : X = 20, Y = 30, y주소 : {addr}\n"
                                                "자식프로세서에서 주는 y : 30\n";
inline constexpr std::string_view kParentBlock = "\n\n현재 프로세스 {child}\n"
                                                 "부모프로세서 pid 반환값 : {child}\n"
                                                 "부모프로세스 {parent}\n"
                                                 "부모프로세스 y주소 : {addr}, y값: 20 \n"
                                                 "P : X = 10, Y = 20\n"
                                                 "P : X = 25, Y = 25, y주소 : {addr}\n"
                                                 "부모프로세스에서 주는 y : 25\n";
// What the child shows on a terminal before its pause.
inline constexpr std::string_view kChildUntilPause =
    kChildBlock.substr(0, kChildBlock.rfind("자식프로세서"));
inline constexpr std::string_view kForkFailed = "\n\n현재 프로세스 -1\n"
                                                "Fork error\n"
                                                "-1\n";

// An inherited job lasts longer than pdTest's run takes, even under valgrind.
inline constexpr unsigned kJobSeconds = 8;

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
    int job_signal = 0;           // sent to the whole job a second in, as a terminal sends Ctrl-C
    // When set, run these commands, as their reader types them, with sh in a scratch folder
    // where build/pdTest starts the program as the fields above say and doc/, src/ and tools/
    // are the source's.
    std::string shell{};
};

// The exit status, or minus the signal that ended the process.
int exit_code(int status);

// The text after the first `label`, up to the end of its line.
std::string after(const std::string &text, std::string_view label);

void replace_all(std::string &text, const std::string &from, const std::string &to);

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
void confine(Fault fault);

// Launches pdTest as `start` says and collects everything it does. Throws, ending the test at
// once, when what the run needs cannot be had: a pseudo-terminal, a pipe, a process.
Outcome run(Sink sink, const Start &start = {});

// What every good run shares: both processes end well and say nothing on standard error
// (a fault in the child, a sanitizer report say, shows only there).
void expect_clean(const Outcome &r);
