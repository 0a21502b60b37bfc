// pdTest-pages on a real pdTest during its child's pause: the table it prints, the processes it
// cannot read, and output that ends early or fails.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

// await waits for a condition, 20 seconds at most, then says what it gave up on; state prints a
// process's state letter.
constexpr std::string_view kAwait = R"sh(
await() {
    i=0
    until eval "$1"; do
        [ $((i += 1)) -lt 400 ] || { echo "gave up after 20 s waiting for: $1" >&2; exit 99; }
        sleep 0.05
    done
}
state() { s=$(cat /proc/$1/stat 2>/dev/null) && s=${s##*) } && echo "${s%% *}"; }
)sh";

// Starts pdTest with its output in out.txt and, once its child is in its pause, stops both, so
// that the pause lasts as long as a busy machine needs, prints the parent's, the child's and
// this shell's process IDs, and runs the rest, which lets them go on.
std::string during_the_pause(std::string_view rest) {
    return std::string(kAwait) + R"sh(build/pdTest > out.txt 2>&1 &
parent=$!
await 'child=$(cat /proc/$parent/task/$parent/children) && [ -n "$child" ]'
child=${child% }
await '[ "$(state $child)" = S ]'
kill -STOP $parent $child
echo $parent $child $$
)sh" + std::string(rest);
}

// The script's output with {parent}, {child} and {shell} for the IDs it printed first.
std::string generalized(const std::string &out) {
    std::istringstream first(out.substr(0, out.find('\n')));
    std::string text = out.substr(out.find('\n') + 1);
    for (const char *name : {"{parent}", "{child}", "{shell}"}) {
        std::string id;
        first >> id;
        text = std::regex_replace(text, std::regex(id.insert(0, "\\b").append("\\b")), name);
    }
    return text;
}

// The tool reads a plain pdTest's heap; under a sanitizer or a wrapper the heap is theirs.
bool wrapped() {
    return PDTEST_SANITIZED || std::getenv("PDTEST_WRAPPER") != nullptr;
}

TEST(Pages, ShowWhichHeapPagesParentAndChildStillShareDuringThePause) {
    if (wrapped()) {
        GTEST_SKIP() << "the heap is the sanitizer's or the wrapper's";
    }
    // busybox awk prints no more than 31 bits with %x: the addresses must come out the same.
    // (The dirty counts from smaps_rollup are the kernel's of the moment, not the tool's.)
    const Outcome r = run(Sink::Pipe, {.shell = during_the_pause(R"sh(
tools/pdTest-pages $parent $child > pages.txt; echo "status $?"; cat pages.txt
if awk=$(command -v busybox); then
    mkdir busybox && ln -s "$awk" busybox/awk
    grep -v _Dirty pages.txt >table.txt
    PATH=$PWD/busybox:$PATH tools/pdTest-pages $parent $child | grep -v _Dirty |
        cmp - table.txt && echo same
fi
kill -CONT $parent $child; wait; head -n 1 out.txt
)sh")});
    EXPECT_EQ(r.err, "");
    const std::string out = generalized(r.out);
    const std::regex shape("status 0\n"
                           "\\{parent\\} heap ([0-9a-f]+-[0-9a-f]+)\n\\{child\\} heap \\1\n"
                           "page \\{parent\\} \\{child\\}\n"
                           "([0-9a-f]+ (own|shared|-) (own|shared|-)\n)+"
                           "(\\{(parent|child)\\} (Shared|Private)_Dirty: [0-9]+ kB\n){4}"
                           "(same\n)?메인에서 할당된 y주소 : 0x[0-9a-f]+\n");
    EXPECT_TRUE(std::regex_match(out, shape)) << out;
    // The page of *y, written by both since the fork, is a copy of each one's own; the rest of
    // the stdio buffer after it is still shared.
    const auto page = std::stoull(after(out, "y주소 : 0x"), nullptr, 16) &
                      ~static_cast<unsigned long long>(getpagesize() - 1);
    std::ostringstream row;
    row << '\n' << std::hex << page << " own own\n";
    EXPECT_NE(out.find(row.str()), std::string::npos) << out;
    EXPECT_NE(out.find(" shared shared\n"), std::string::npos) << out;
}

TEST(Pages, ReadEveryPieceOfAHeapInSeveralMappings) {
    // Python's heap, its second page kept from any child (MADV_DONTFORK): three mappings named
    // [heap].
    const Outcome r = run(Sink::Pipe, {.shell = std::string(kAwait) + R"sh(
python3 -c '
import ctypes, mmap, time
start = next(int(l[:l.index("-")], 16) for l in open("/proc/self/maps") if "[heap]" in l)
ctypes.CDLL(None).madvise(ctypes.c_void_p(start + mmap.PAGESIZE), mmap.PAGESIZE, 10)
time.sleep(20)' &
await '[ "$(grep -c "\[heap\]" /proc/$!/maps)" = 3 ]'
awk '$6 == "[heap]" { printf " %s", $1 } END { print "" }' /proc/$!/maps
tools/pdTest-pages $! |
    awk 'NR == 1 { sub(/^[0-9]+ heap/, ""); print } $2 ~ /own|shared/ { print $1 }'
kill $!
)sh"});
    EXPECT_EQ(r.err, "");
    std::istringstream lines(r.out);
    std::string mapped;
    std::string shown;
    std::getline(lines, mapped);
    std::getline(lines, shown);
    EXPECT_EQ(shown, mapped);
    const auto third = std::stoull(mapped.substr(mapped.rfind(' ') + 1), nullptr, 16);
    unsigned long long last = 0;
    for (std::string page; std::getline(lines, page);) {
        last = std::stoull(page, nullptr, 16);
    }
    EXPECT_GE(last, third) << r.out;
}

TEST(PagesArguments, AWrongOneIsAUsageErrorOfOneLineBeforeAnyProcessIsRead) {
    const Outcome r = run(Sink::Pipe, {.shell = R"sh(exec 2>&1
tools/pdTest-pages; echo $?
tools/pdTest-pages -x 1; echo $?
tools/pdTest-pages 1 ''; echo $?
tools/pdTest-pages -f -- 1 12a; echo $?
tools/pdTest-pages --help > help.txt; echo $?
awk 'NR == 1 || length > 79' help.txt
)sh"});
    EXPECT_EQ(r.out,
              "usage: tools/pdTest-pages [-f] PID...\n2\n"
              "tools/pdTest-pages: -x: no such option (usage: tools/pdTest-pages [-f] PID...)\n2\n"
              "tools/pdTest-pages: '': not a process ID\n2\n"
              "tools/pdTest-pages: '12a': not a process ID\n2\n"
              "0\nusage: tools/pdTest-pages [-f] PID...\n");
}

TEST(PagesProcesses, ThatItCannotReadAreNamedWithTheReason) {
    if (wrapped()) {
        GTEST_SKIP() << "the heap is the sanitizer's or the wrapper's";
    }
    std::string script = "exec 2>&1\n";
    std::string expected = "tools/pdTest-pages: the heaps of processes {parent} and {shell} "
                           "differ: they have no common "
                           "past to compare\n1\n";
    script += "tools/pdTest-pages $parent $$; echo $?\n";
    if (geteuid() == 0) {
        // An ordinary user may read its own processes' pages, but not their frame numbers, and
        // nothing of root's.
        script += R"sh(chmod 711 . && mkdir -m 755 bin && cp tools/pdTest-pages bin/
nobody="setpriv --reuid=nobody --regid=nogroup --clear-groups env PATH=$PWD/bin:$PATH"
$nobody pdTest-pages $parent $child; echo $?
$nobody sleep 20 &
await '[ "$(state $!)" = S ]'
$nobody pdTest-pages $! > /dev/null; echo $?
$nobody pdTest-pages -f $!; echo $?
kill $!
)sh";
        expected += "pdTest-pages: /proc/{parent}/maps: Permission denied\n1\n"
                    "0\n"
                    "pdTest-pages: frame numbers read as 0: reading them takes CAP_SYS_ADMIN, "
                    "as root has outside a container\n1\n";
    }
    // A stopped parent cannot collect its child, which stays a zombie.
    script += R"sh(kill -CONT $child
await '[ "$(state $child)" = Z ]'
tools/pdTest-pages $parent $child; echo $?
kill -CONT $parent; wait
tools/pdTest-pages $child; echo $?
)sh";
    expected += "tools/pdTest-pages: process {child} has exited (a zombie, not yet collected): its "
                "memory is gone\n1\n"
                "tools/pdTest-pages: there is no process {child}: it has ended, or never was\n1\n";
    const Outcome r = run(Sink::Pipe, {.shell = during_the_pause(script)});
    EXPECT_EQ(generalized(r.out), expected);
    EXPECT_EQ(r.exit_code(), 0);
}

TEST(PagesOutput, ThatEndsEarlyEndsQuietlyAndThatFailsSaysWhy) {
    if (wrapped()) {
        GTEST_SKIP() << "the heap is the sanitizer's or the wrapper's";
    }
    // The reader leaves before the tool writes, with SIGPIPE as it comes and then ignored.
    const Outcome r = run(Sink::Pipe, {.shell = during_the_pause(R"sh(exec 2>&1
tools/pdTest-pages $parent $child | head -n 1
gone() {
    { await '[ -e gone ]'; tools/pdTest-pages $parent $child; echo $? > status; } |
        { exec <&-; touch gone; }
    cat status; rm gone
}
gone
(trap '' PIPE; gone)
tools/pdTest-pages $parent $child > /dev/full; echo $?
tools/pdTest-pages --help > /dev/full; echo $?
tools/pdTest-pages $parent $child >&-; echo $?
tools/pdTest-pages 000$parent 0$child 2>&- | head -n 1
kill -CONT $parent $child; wait
)sh")});
    EXPECT_EQ(generalized(r.out),
              "{parent} heap " + after(r.out, " heap ") + "\n0\n0\n" +
                  "tools/pdTest-pages: write error: No space left on device\n1\n"
                  "tools/pdTest-pages: write error: No space left on device\n1\n"
                  "tools/pdTest-pages: write error: Bad file descriptor\n1\n"
                  "{parent} heap " +
                  after(r.out, " heap ") + "\n");
    EXPECT_EQ(r.exit_code(), 0);
}

// Two runs of one program with address randomisation off have their heaps at one address, but
// neither comes from the other.
TEST(PagesProcesses, ThatOnlyShareAHeapAddressHaveNoCommonPast) {
    if (wrapped()) {
        GTEST_SKIP() << "the heap is the sanitizer's or the wrapper's";
    }
    const Outcome r = run(Sink::Pipe, {.shell = std::string(kAwait) + R"sh(
setarch -R true 2>/dev/null || { echo "no setarch -R here"; exit 0; }
pause() { # the run started last in the background: once its child is in its pause
    await 'c=$(cat /proc/$!/task/$!/children) && [ -n "$c" ] && [ "$(state ${c% })" = S ]'
}
setarch -R build/pdTest >a.txt & a=$!; pause
setarch -R build/pdTest >b.txt & b=$!; pause
echo $a $b $$
tools/pdTest-pages $a $b 2>&1; echo $?
wait
)sh"});
    if (r.out.starts_with("no setarch -R here")) {
        GTEST_SKIP() << "address randomisation cannot be turned off here";
    }
    // {parent} and {child} stand for the two runs here, {shell} for the shell that started both.
    EXPECT_EQ(generalized(r.out),
              "tools/pdTest-pages: processes {parent} and {child} have no common past to compare: "
              "the process both come from, {shell}, has its heap elsewhere\n1\n");
    EXPECT_EQ(r.err, "");
}

TEST(PagesHelpers, MissingOnesAreNamedNotTheFilesOfProc) {
    const Outcome r = run(Sink::Pipe, {.shell = R"sh(exec 2>&1
PATH= tools/pdTest-pages $$; echo $?
mkdir bin && for helper in awk cat dd getconf tr wc; do ln -s "$(command -v $helper)" bin/; done
PATH=$PWD/bin tools/pdTest-pages $$; echo $?
)sh"});
    EXPECT_EQ(r.out,
              "tools/pdTest-pages: awk, cat, dd, getconf, od, tr, wc: not found on the PATH\n1\n"
              "tools/pdTest-pages: od: not found on the PATH\n1\n");
}

} // namespace
