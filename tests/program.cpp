// The program's own cases: every byte it prints, its order and timing, its exit status and
// what it leaves behind, on each kind of output, with signals and with real faults.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

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

} // namespace
