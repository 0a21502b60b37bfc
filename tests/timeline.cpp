// pdTest-timeline on the built pdTest: what it reads back from a real trace, on a terminal and
// through a pipe, and the pictures it made for the documents.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

constexpr std::string_view kSource = PDTEST_SOURCE_DIR;
// Fails, saying why, unless the SVG file named after it is one that XML parsers read.
constexpr std::string_view kWellFormed =
    "python3 -c 'import sys, xml.etree.ElementTree as svg; svg.parse(sys.argv[1])'";

struct Event {
    double seconds = 0; // since the fork
    std::string who{};  // parent or child
    std::string kind{}; // fork, write, sleep, exit, collect...
    std::string detail{};
};

// The events pdTest-timeline --events reads from one traced run of pdTest.
std::vector<Event> timeline(Sink sink) {
    // LeakSanitizer cannot work under ptrace; the other runs look for leaks.
    std::vector<std::string> before = {"env", "ASAN_OPTIONS=detect_leaks=0",
                                       std::string(kSource) + "/tools/pdTest-timeline", "--events"};
    if (sink == Sink::Pipe) {
        before.emplace_back("--pipe");
    }
    const Outcome r = run(Sink::Pipe, {.before = before});
    expect_clean(r);
    std::vector<Event> events;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Event e;
        std::string seconds;
        std::getline(fields, seconds, '\t');
        std::getline(fields, e.who, '\t');
        std::getline(fields, e.kind, '\t');
        std::getline(fields, e.detail);
        e.seconds = std::stod(seconds);
        replace_all(e.detail, "\\n", "\n");
        events.push_back(e);
    }
    return events;
}

// When `who` first did `kind`, or a day later if it never did.
double first(const std::vector<Event> &events, const std::string &who, const std::string &kind) {
    const auto e = std::ranges::find_if(
        events, [&](const Event &x) { return x.who == who && (x.kind == kind || kind.empty()); });
    return e == events.end() ? 86400 : e->seconds;
}

// What each process wrote after the fork, write by write.
std::vector<std::string> writes(const std::vector<Event> &events, const std::string &who) {
    std::vector<std::string> texts;
    for (const Event &e : events) {
        if (e.who == who && e.kind == "write" && e.seconds >= 0) {
            texts.push_back(e.detail);
        }
    }
    return texts;
}

// What holds wherever the output goes: two processes, the fork before anything the child
// does, and the child's exit before the parent's waitpid returns.
void expect_ordered(const std::vector<Event> &events) {
    std::set<std::string> lanes;
    for (const Event &e : events) {
        lanes.insert(e.who);
    }
    EXPECT_EQ(lanes, (std::set<std::string>{"child", "parent"}));
    EXPECT_LT(first(events, "parent", "fork"), first(events, "child", ""));
    EXPECT_LE(first(events, "child", "exit"), first(events, "parent", "collect"));
    EXPECT_LT(first(events, "parent", "collect"), 86400);
}

TEST(Timeline, OnATerminalEachLineIsAWriteAndTheResultComesAfterThePause) {
    const auto events = timeline(Sink::Terminal);
    expect_ordered(events);
    std::string before_fork;
    for (const Event &e : events) {
        if (e.kind == "write" && e.seconds < 0) {
            EXPECT_EQ(e.who, "parent");
            before_fork += e.detail;
        }
    }
    EXPECT_TRUE(before_fork.starts_with("메인에서 할당된 y주소 : 0x")) << before_fork;
    EXPECT_TRUE(before_fork.ends_with("\nP : X = 10, Y = 20\n")) << before_fork;
    const auto child = writes(events, "child");
    EXPECT_GT(child.size(), 1U); // line by line
    ASSERT_FALSE(child.empty());
    EXPECT_EQ(child.back(), "자식프로세서에서 주는 y : 30\n");
    const auto result = std::ranges::find_if(
        events, [](const Event &e) { return e.detail.starts_with("자식프로세서에서"); });
    ASSERT_NE(result, events.end());
    EXPECT_GE(result->seconds, 3.0);
}

TEST(Timeline, ThroughAPipeEachProcessWritesOnceWithTheLinesFromBeforeTheFork) {
    const auto events = timeline(Sink::Pipe);
    expect_ordered(events);
    const auto parent = writes(events, "parent");
    const auto child = writes(events, "child");
    ASSERT_EQ(parent.size(), 1U);
    ASSERT_EQ(child.size(), 1U);
    const auto lines = parent[0].substr(0, parent[0].find("\n\n\n") + 1);
    EXPECT_TRUE(lines.starts_with("메인에서 할당된 y주소 : 0x")) << lines;
    EXPECT_TRUE(lines.ends_with("\nP : X = 10, Y = 20\n")) << lines;
    EXPECT_TRUE(child[0].starts_with(lines)) << child[0];
}

TEST(Pictures, EachIsWellFormedAndRenders) {
    int pictures = 0;
    for (const auto &file :
         std::filesystem::directory_iterator(std::filesystem::path(kSource) / "doc")) {
        if (file.path().extension() != ".svg") {
            continue;
        }
        ++pictures;
        const std::string name = "doc/" + file.path().filename().string();
        std::string script(kWellFormed);
        script.append(" ").append(name).append(" && rsvg-convert ").append(name);
        const Outcome r = run(Sink::Pipe, {.shell = script});
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.exit_code(), 0) << name;
    }
    EXPECT_GE(pictures, 2);
}

// What a learner does to the timeline while it traces, and what the drawing must survive.
// Each case starts the real tool on a real run, in a shell (see run()) where these are defined.
constexpr std::string_view kShellTools = R"sh(
# Waits for a condition, 20 seconds at most.
await() { i=0; until eval "$1"; do [ $((i += 1)) -lt 400 ] || exit 99; sleep 0.05; done; }
# Waits until the processes named are gone.
gone() { for p; do await "! kill -0 $p 2>/dev/null"; done; }
# The program traced by the tool started last in the background (strace is a child of the
# tool's keeper), and the program's child.
traced() {
    for _ in $(seq 600); do
        if keeper=$(pgrep -P $!) && tracer=$(pgrep -x strace -P "$keeper") &&
            parent=$(pgrep -P "$tracer") && child=$(pgrep -P "$parent"); then
            return
        fi
        sleep 0.05
    done
    echo "no traced program under $!" >&2
    exit 1
}
# A program that is not pdTest: what it does, and its child, the first argument names.
cat >fork.py <<'END'
import os, sys, threading, time, warnings
warnings.simplefilter("ignore")  # Python 3.12 and later warn of a fork from a thread
what = sys.argv[1]
sys.stdout.flush()
if what == "prompt":  # and its answer, for 20 seconds at most
    os.write(2, b"Your name? ")
    for _ in range(2000):
        if os.path.exists("answered"):
            break
        time.sleep(0.01)
elif what == "big":
    os.write(2, b"e" * 10_000_000)
elif what == "strace":
    os.write(2, b"strace: a line of the program's own\n")
elif what == "thread":
    os.write(2, b"%d\n" % os.getpid())

def child():
    out = sys.stdout.buffer
    if what == "control":
        out.write(b"tab\there\x1b[31mred\x07\r\n\xff\xfe bytes\n")
    elif what == "long":
        out.write(b"x" * 200000 + b"\n")
        out.flush()
        out.write(b"y" * 1500000)
    elif what == "late":
        time.sleep(10.2)
        out.write(b"late\n")
    elif what == "forever":  # longer than gone waits, short enough not to outlast a test
        time.sleep(30)
    elif what == "orphan":  # Python sleeps until a set time
        time.sleep(0.2)
    else:
        out.write(b"child\n")
    out.flush()
    os._exit(0)

def fork_and_wait():
    if os.fork() == 0:
        child()
    os.wait()

if what == "thread":
    worker = threading.Thread(target=fork_and_wait)
    worker.start()
    worker.join()
elif what == "exec":
    if os.fork() == 0:
        child()
    os.execv(sys.executable, [sys.executable, "-c", "import os; os.wait()"])
elif what == "orphan":
    if os.fork() == 0:
        child()
else:
    fork_and_wait()
END
)sh";

Outcome traced(const std::string &commands, Sink sink = Sink::Pipe, const Start &start = {}) {
    Start with = start;
    with.shell = std::string(kShellTools) + commands;
    return run(sink, with);
}

// How often `text` holds `part`.
std::size_t count(const std::string &text, std::string_view part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

TEST(TimelineSignals, AResizeAndAStopMidwayLeaveOneWaitAndOnePause) {
    const Outcome r = traced("tools/pdTest-timeline --pipe --lang en & traced\n"
                             "kill -WINCH $parent; kill -STOP $child; sleep 0.3\n"
                             "kill -CONT $child; kill -WINCH $parent; wait $!\n");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(count(r.out, "the child is collected"), 1U) << r.out;
    EXPECT_EQ(count(r.out, "fails at once"), 0U) << r.out;
    EXPECT_EQ(count(r.out, "pauses: sleep(3)"), 1U) << r.out;
    EXPECT_NE(r.out.find("stopped by SIGSTOP"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("continued by SIGCONT"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("blocked in waitpid [3-9]\\.")));
    EXPECT_TRUE(std::regex_search(r.out, std::regex("paused [3-9]\\."))) << r.out;
}

TEST(TimelineSignals, AJobStoppedAndContinuedIsDrawnWhole) {
    const Outcome r =
        run(Sink::Pipe,
            {.before = {std::string(kSource) + "/tools/pdTest-timeline", "--pipe", "--lang", "en"},
             .stopped_midway = true});
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(count(r.out, "the child is collected"), 1U) << r.out;
    EXPECT_NE(r.out.find("the only order between them"), std::string::npos) << r.out;
}

// Ctrl-Z stops the whole job: the tool, and the traced processes with it, which the trace
// shows; the keeper and strace run on. The job is a process group of its own, as a shell's.
TEST(TimelineSignals, CtrlZStopsTheTracedProcessesWithTheTool) {
    const Outcome r = traced(
        R"sh(python3 -c 'import os, sys; os.setpgid(0, 0); os.execvp(sys.argv[1], sys.argv[1:])' \
    tools/pdTest-timeline --pipe --lang en & traced
kill -TSTP -$!; await 'ps -o stat= -p $child | grep -q "^t"'
for p in $! $keeper $tracer $parent $child; do ps -o stat= -p $p | cut -c1; done | tr '\n' ' '
echo
kill -CONT -$!; wait $!
)sh");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("T S S t t \n")) << r.out;
    EXPECT_EQ(count(r.out, "stopped by SIGTSTP"), 2U) << r.out;
    EXPECT_EQ(count(r.out, "the child is collected"), 1U) << r.out;
}

TEST(TimelineSignals, AChildKilledInItsPauseIsDrawnKilledAndCollected) {
    const Outcome r = traced("tools/pdTest-timeline --lang en & traced\n"
                             "sleep 0.5; kill $child; wait $!\n");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("killed by SIGTERM: a zombie until collected"), std::string::npos);
    EXPECT_EQ(count(r.out, "the child is collected"), 1U) << r.out;
    EXPECT_NE(r.err.find("killed by signal 15"), std::string::npos) << r.err; // pdTest's own
}

TEST(TimelineSignals, AParentKilledInWaitpidNeverSeesItReturn) {
    const Outcome r = traced("tools/pdTest-timeline --pipe --lang en & traced\n"
                             "sleep 0.5; kill -KILL $parent; wait $!\n");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("killed by SIGKILL inside waitpid, which never returned"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("exits, status 0: orphaned"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("nothing orders them"), std::string::npos) << r.out;
    EXPECT_EQ(count(r.out, "the child is collected"), 0U) << r.out;
    EXPECT_EQ(r.left, std::vector<int>{}); // the tool collects the orphan it adopted
}

// Ctrl-C reaches the whole job; kills reach the tool alone, which ends the traced run itself,
// however many come.
TEST(TimelineSignals, InterruptedItSaysSoInOneLineAndLeavesNothingRunning) {
    const Outcome ctrl_c =
        run(Sink::Pipe,
            {.before = {std::string(kSource) + "/tools/pdTest-timeline"}, .job_signal = SIGINT});
    EXPECT_TRUE(
        ctrl_c.err.ends_with("/tools/pdTest-timeline: interrupted by SIGINT; nothing drawn\n"))
        << ctrl_c.err;
    EXPECT_EQ(count(ctrl_c.err, "\n"), 1U) << ctrl_c.err;
    EXPECT_EQ(ctrl_c.exit_code(), 130);
    EXPECT_EQ(ctrl_c.out, "");
    const Outcome killed = traced("tools/pdTest-timeline & traced\n"
                                  "for _ in $(seq 30); do kill $! 2>/dev/null; done; wait $!\n");
    EXPECT_EQ(killed.err, "tools/pdTest-timeline: interrupted by SIGTERM; nothing drawn\n");
    EXPECT_EQ(killed.exit_code(), 128 + SIGTERM);
    for (const Outcome *r : {&ctrl_c, &killed}) {
        for (const int code : r->left) {
            EXPECT_LT(code, 0) << "a traced process ran on to its end";
        }
    }
}

// A signal whose default would end the tool ends it in one line, with 128 + its number, and
// ends the run with it; env undoes the & that ignores SIGQUIT in a script.
TEST(TimelineEnding, EverySignalThatWouldEndItIsSaidInOneLineAndEndsTheRun) {
    const Outcome r = traced(R"sh(for signal in QUIT USR1 RTMIN+3; do
    env --default-signal tools/pdTest-timeline python3 fork.py forever & traced
    kill -s $signal $!; wait $!; echo "$signal $?"; gone $tracer $parent $child
done
)sh");
    EXPECT_EQ(r.out, "QUIT 131\nUSR1 138\nRTMIN+3 " + std::to_string(SIGRTMIN + 3 + 128) + "\n");
    EXPECT_EQ(r.err, "tools/pdTest-timeline: interrupted by SIGQUIT; nothing drawn\n"
                     "tools/pdTest-timeline: interrupted by SIGUSR1; nothing drawn\n"
                     "tools/pdTest-timeline: interrupted by SIGRTMIN+3; nothing drawn\n");
    EXPECT_EQ(r.left, std::vector<int>{});
}

// SIGKILL leaves the tool no say: its keeper, which the harness collects, ends the run.
TEST(TimelineEnding, KilledOutrightItLeavesNothingRunningNorBesideThePicture) {
    const Outcome r = traced(R"sh(echo old >run.svg
for picture in run.svg new.svg; do
    tools/pdTest-timeline --svg $picture python3 fork.py forever & traced
    kill -KILL $!; gone $tracer $parent $child
done
ls -A | grep svg; cat run.svg
)sh");
    EXPECT_EQ(r.out, "run.svg\nold\n");
    EXPECT_EQ(r.err, "");
}

TEST(TimelineStreams, WithStandardErrorClosedNoMessageLandsInStandardOutput) {
    const Outcome r = traced(R"sh(tools/pdTest-timeline --bogus 2>&-; echo "usage $?"
tools/pdTest-timeline --svg - ./nothing 2>&-; echo "no program $?"
tools/pdTest-timeline --events --pipe 2>&- | grep -c collect
)sh");
    EXPECT_EQ(r.out, "usage 2\nno program 1\n1\n");
    EXPECT_EQ(r.err, "");
}

TEST(TimelineStreams, StandardInputThatIsAFolderIsSaidInOneLine) {
    const Outcome r = traced(R"sh(tools/pdTest-timeline <doc; echo "folder $?"
tools/pdTest-timeline --events --pipe <&- | grep -c collect
)sh");
    EXPECT_EQ(r.out, "folder 1\n1\n");
    EXPECT_EQ(r.err, "tools/pdTest-timeline: standard input: is a folder\n");
}

// Nothing but the program writes to standard error: a prompt shows while the program waits
// for its answer, every byte comes through, and a line that only looks like strace's too.
TEST(TimelineStderr, TheProgramsOwnBytesPassThroughAsWrittenWhenWritten) {
    const Outcome r =
        traced(R"sh(tools/pdTest-timeline --events python3 fork.py prompt 2>err >/dev/null &
await '[ -s err ]'; echo "$(cat err)|"; touch answered; wait $!
tools/pdTest-timeline --events python3 fork.py big 2>&1 >/dev/null | wc -c
tools/pdTest-timeline --events python3 fork.py strace >/dev/null
)sh");
    EXPECT_EQ(r.out, "Your name? |\n10000000\n");
    EXPECT_EQ(r.err, "strace: a line of the program's own\n");
}

TEST(TimelineStderr, StracesOwnMessagesStillSayWhyTheTraceFailed) {
    // strace cannot trace a program while it is itself traced.
    const Outcome r = traced("strace -f -o /dev/null tools/pdTest-timeline --events\n");
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_TRUE(r.err.starts_with("tools/pdTest-timeline: strace recorded nothing")) << r.err;
    EXPECT_NE(r.err.find(" (strace: "), std::string::npos) << r.err;
    EXPECT_EQ(count(r.err, "\n"), 1U) << r.err;
}

TEST(TimelineOutput, AFullOrClosedOutputIsAnErrorInOneLine) {
    const std::vector<std::string> tool = {std::string(kSource) + "/tools/pdTest-timeline"};
    const Outcome full = run(Sink::FullDevice, {.before = tool});
    EXPECT_TRUE(full.err.ends_with(": standard output: No space left on device\n")) << full.err;
    EXPECT_EQ(count(full.err, "\n"), 1U) << full.err;
    EXPECT_EQ(full.exit_code(), 1);
    const Outcome closed = run(Sink::Closed, {.before = tool});
    EXPECT_TRUE(closed.err.ends_with(": standard output: Bad file descriptor\n")) << closed.err;
    EXPECT_EQ(closed.exit_code(), 1);
}

TEST(TimelineOutput, AReaderThatLeavesEarlyEndsItQuietly) {
    const Outcome r = traced("tools/pdTest-timeline --lang en | head -n 1\n");
    EXPECT_EQ(r.out, "build/pdTest, its standard output on a terminal\n");
    EXPECT_EQ(r.err, "");
}

TEST(TimelineOutput, ThePictureIsWrittenWholeOrNotAtAll) {
    const Outcome r = traced("tools/pdTest-timeline --svg - >out.svg\n" + std::string(kWellFormed) +
                             " out.svg\n"
                             "tools/pdTest-timeline --svg gone/run.svg build/pdTest\n"
                             "echo \"status $?\"; ls -A gone 2>/dev/null\n"
                             "tools/pdTest-timeline --svg x.svg --events; echo \"status $?\"\n");
    EXPECT_EQ(r.out, "status 1\nstatus 2\n");
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex("^tools/pdTest-timeline: gone/run.svg: No such file or directory\n")))
        << r.err;
    EXPECT_NE(r.err.find("--svg and --events cannot go together"), std::string::npos) << r.err;
}

TEST(TimelineText, ControlCharactersAndBadBytesAreShownEscaped) {
    const Outcome r = traced("tools/pdTest-timeline --lang en python3 fork.py control\n"
                             "tools/pdTest-timeline --svg out.svg python3 fork.py control && " +
                             std::string(kWellFormed) + " out.svg\n");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("tab\\there\\x1b[31mred\\x07\\x0d"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\xff\\xfe bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("write 28 bytes, 2 lines"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\t'), std::string::npos);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

TEST(TimelineText, ALongLineIsCutToTheWidthAndALongWriteSaysWhatTheTraceHolds) {
    const Outcome r = traced("tools/pdTest-timeline --pipe --lang en python3 fork.py long\n");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("write 200001 bytes, 1 line"), std::string::npos) << r.out.substr(0, 2000);
    EXPECT_NE(r.out.find("write 1500000 bytes; the trace holds 1048576: 1 line"),
              std::string::npos);
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80U) << line.substr(0, 100); // all ASCII here
    }
}

TEST(TimelineText, StampsOfTenSecondsOrMoreKeepTheLanesInTheirColumns) {
    const Outcome r = traced("tools/pdTest-timeline --lang en python3 fork.py late\n");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    std::set<std::size_t> columns;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, std::regex("^ *-?[0-9]+\\.[0-9]{6} "))) {
            columns.insert(line.find_first_not_of(" |:z*x+<=->T", line.find(' ', 2)));
        }
    }
    EXPECT_EQ(columns.size(), 1U) << r.out;
    EXPECT_NE(r.out.find("late"), std::string::npos);
}

TEST(TimelineTrace, AFailedForkIsARunWithNoChild) {
    const Outcome r = traced("tools/pdTest-timeline --lang en " PDTEST_CONFINED_PROGRAM
                             " no-fork build/pdTest\n");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.out.find("fork fails: EAGAIN, so there is no child"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Fork error"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("is it pdTest"), std::string::npos);
}

TEST(TimelineTrace, AWrapperIsNotTheProgramAndOtherProcessesAreNamed) {
    const Outcome wrapped =
        traced("tools/pdTest-timeline --pipe --lang en stdbuf -oL build/pdTest\n"
               "tools/pdTest-timeline --pipe --lang en sh -c "
               "'sleep 1 & exec build/pdTest'\n");
    EXPECT_EQ(wrapped.exit_code(), 0) << wrapped.err;
    EXPECT_EQ(count(wrapped.out, "build/pdTest, its standard output on a pipe"), 2U);
    EXPECT_TRUE(
        std::regex_search(wrapped.out, std::regex("left out: 1 other process \\(sleep [0-9]+\\)")))
        << wrapped.out;
}

TEST(TimelineForks, AParentThatExecsOrNeverWaitsAndAForkFromAThreadAreDrawn) {
    const Outcome execs = traced("tools/pdTest-timeline --lang en python3 fork.py exec\n");
    EXPECT_EQ(execs.exit_code(), 0) << execs.err;
    EXPECT_TRUE(std::regex_search(execs.out, std::regex("fork: child [0-9]+\n")));
    EXPECT_EQ(count(execs.out, "python3 starts\n"), 2U) << execs.out; // once, then again
    EXPECT_EQ(count(execs.out, "the child is collected"), 1U) << execs.out;
    const Outcome thread = traced("tools/pdTest-timeline --lang en python3 fork.py thread\n");
    EXPECT_EQ(thread.exit_code(), 0) << thread.err;
    const std::string process = thread.err.substr(0, thread.err.find('\n'));
    EXPECT_TRUE(std::regex_search(thread.out, std::regex("^/[^,]*python3[^,]*, its standard")))
        << thread.out;
    EXPECT_NE(thread.out.find("\nparent " + process + ", child "), std::string::npos) << thread.out;
    EXPECT_NE(thread.out.find("\nleft out: 1 thread\n"), std::string::npos) << thread.out;
    EXPECT_EQ(count(thread.out, "the child is collected"), 1U) << thread.out;
    const Outcome orphan = traced("tools/pdTest-timeline --lang en python3 fork.py orphan\n");
    EXPECT_EQ(orphan.exit_code(), 0) << orphan.err;
    EXPECT_NE(orphan.out.find("  pauses until a set time\n"), std::string::npos) << orphan.out;
    EXPECT_NE(orphan.out.find("); it never calls waitpid\n"), std::string::npos) << orphan.out;
    EXPECT_NE(orphan.out.find("exits, status 0: orphaned"), std::string::npos) << orphan.out;
    EXPECT_EQ(orphan.left, std::vector<int>{}); // its keeper collected the orphan
}

// Run from a folder since removed, copied without its module, installed where bin/ is not on
// the PATH, or with a module it may not read.
TEST(TimelinePlaces, OddPlacesAreNoReasonForATraceback) {
    std::string script = R"sh(mkdir gone && cd gone && rmdir ../gone
PATH=/usr/bin:/bin:$PATH ../tools/pdTest-timeline --events --pipe | grep -c collect; cd ..
mkdir lone && cp tools/pdTest-timeline lone/ && lone/pdTest-timeline; echo "lone $?"
mkdir -p usr/bin usr/share/pdtest && cp build/pdTest tools/pdTest-timeline usr/bin/
cp -r tools/pdtest_* usr/share/pdtest/
(cd / && PATH=/usr/bin:/bin "$OLDPWD/usr/bin/pdTest-timeline" --events --pipe) | head -n 1
)sh";
    std::string expected = "1\nlone 1\nexec usr/bin/pdTest\n";
    if (geteuid() == 0) {
        script += R"sh(chmod 711 . && chmod 600 usr/share/pdtest/pdtest_trace.py
setpriv --reuid=nobody --regid=nogroup --clear-groups usr/bin/pdTest-timeline; echo "other $?"
)sh";
        expected += "other 1\n";
    }
    const Outcome r = traced(script);
    // The exec of the pdTest installed beside the tool, in the scratch folder.
    EXPECT_EQ(std::regex_replace(r.out, std::regex("-[0-9.]+\tparent\texec\t/tmp/[^/]+/"), "exec "),
              expected);
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex("^pdTest-timeline: /tmp/[^ ]+/lone/pdtest_command.py or /tmp/[^ ]+/share/"
                          "pdtest/pdtest_command.py: not found\n")))
        << r.err;
    if (geteuid() == 0) {
        EXPECT_TRUE(std::regex_search(
            r.err, std::regex("\npdTest-timeline: /tmp/[^ ]+/usr/share/pdtest/pdtest_trace.py: "
                              "Permission denied\n$")))
            << r.err;
    }
    EXPECT_EQ(count(r.err, "\n"), geteuid() == 0 ? 2U : 1U) << r.err;
}

TEST(TimelineTrace, WhatCannotBeRunIsCalledWhatItIs) {
    const Outcome r = traced("touch plain; ln -s loop loop\n"
                             "for p in ./plain ./doc nothing ./nothing ./loop; do\n"
                             "tools/pdTest-timeline $p; echo \"status $?\"; done\n"
                             "tools/pdTest-timeline --svg loop; echo \"status $?\"\n");
    EXPECT_EQ(r.out, "status 1\nstatus 1\nstatus 1\nstatus 1\nstatus 1\nstatus 1\n");
    EXPECT_EQ(r.err, "tools/pdTest-timeline: ./plain: exists but is not executable\n"
                     "tools/pdTest-timeline: ./doc: is a folder, not a program\n"
                     "tools/pdTest-timeline: nothing: not found on the PATH\n"
                     "tools/pdTest-timeline: ./nothing: no such file\n"
                     "tools/pdTest-timeline: ./loop: Too many levels of symbolic links\n"
                     "tools/pdTest-timeline: loop: Too many levels of symbolic links\n");
}

} // namespace
