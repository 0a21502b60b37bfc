// pdTest-lab on the built pdTest: for each scenario and variant, its answers against a run of
// pdTest made here the same way; right answers score full marks and others none; its reports
// are whole JSON lines with a closing line; a simulated class gets runs of its own and a
// summary that finds what was planted; and it leaves no process behind.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <initializer_list>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// LeakSanitizer cannot work under ptrace, and the lab runs pdTest under strace.
constexpr std::string_view kLab = "export ASAN_OPTIONS=detect_leaks=0\n";

// The scripts below run pdTest with its standard error in err, then say on their own standard
// error how it ended: "status N", "stderr N" and, where they look, "writes N" or "zombies N".
constexpr std::string_view kEnded = "echo \"status $?\" >&2\necho \"stderr $(wc -l < err)\" >&2\n";
// Writes to standard output by every process of the trace but the first, which is the parent.
constexpr std::string_view kTraced = "strace -f -qq -o trace -e trace=write,execve ";
constexpr std::string_view kChildWrites =
    "awk 'NR == 1 { p = $1 } $1 != p && / write\\(1,/ { n++ } "
    "END { print \"writes\", n + 0 }' trace >&2\n";
// pdTest in the background, and c its child once that is asleep in its pause. The loop gives
// up when pdTest is gone or after 20 s, and says so.
constexpr std::string_view kUntilPause =
    "build/pdTest 2>err & p=$!\n"
    "i=0\n"
    "until c=$(cat /proc/$p/task/$p/children 2>/dev/null) && c=${c%% *} && [ -n \"$c\" ] &&\n"
    "    grep -qs nanosleep /proc/$c/wchan; do\n"
    "  i=$((i + 1))\n"
    "  if [ $i -gt 2000 ] || ! kill -0 $p 2>/dev/null; then\n"
    "    echo \"never saw pdTest's child in its pause\" >&2; break\n"
    "  fi\n"
    "  sleep 0.01\n"
    "done\n";
// Started by a shell that leaves jobs running: the zombies among pdTest's children, counted
// at the last look while pdTest's child is still in its pause. Gives up after 30 s.
constexpr std::string_view kZombies =
    "build/pdTest' 2>err & p=$!\n"
    "z=0 i=0\n"
    "while [ $i -lt 600 ]; do\n"
    "  i=$((i + 1))\n"
    "  s=$(ps -o stat=,wchan:32= --ppid $p)\n"
    "  case $s in *nanosleep*) z=$(printf '%s\\n' \"$s\" | grep -c '^Z') ;; esac\n"
    "  case $(ps -o stat= -p $p) in Z*|'') break;; esac\n"
    "  sleep 0.05\n"
    "done\n"
    "wait $p\n";

struct Variant {
    std::string id;
    std::string params; // as --list shows them
    std::string lang;   // the language the learner answers in
    Sink sink;          // where pdTest's standard output goes in this test's own run
    Start start;        // how this test runs it; a script reports how it ended as above
};

void PrintTo(const Variant &v, std::ostream *out) {
    *out << v.id << ' ' << v.params;
}

std::string script(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const auto part : parts) {
        text += part;
    }
    return text;
}

Start traced(std::string_view inject) {
    return {.before = {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                       "inject=" + std::string(inject)}};
}

Start counted(std::string_view run) {
    return {.shell = script({kTraced, run, " 2>err\n", kEnded, kChildWrites})};
}

Start orphaned(std::string_view signal) {
    return {.shell = script({kUntilPause, "kill -", signal, " $p\nwait $p\n", kEnded})};
}

Start with_jobs(std::string_view jobs) {
    return {.shell =
                script({"sh -c '", jobs, "exec ", kZombies, kEnded, "echo \"zombies $z\" >&2\n"})};
}

const std::vector<Variant> &variants() {
    static const std::vector<Variant> all = {
        {.id = "terminal",
         .params = "-",
         .lang = "en",
         .sink = Sink::Terminal,
         .start = counted("build/pdTest")},
        {.id = "pipe",
         .params = "-",
         .lang = "ko",
         .sink = Sink::Pipe,
         .start = counted("build/pdTest")},
        {.id = "pipe",
         .params = "buffer=128",
         .lang = "en",
         .sink = Sink::Pipe,
         .start = counted("stdbuf -o128 build/pdTest")},
        {.id = "file", .params = "-", .lang = "en", .sink = Sink::File, .start = {}},
        {.id = "line-buffered",
         .params = "-",
         .lang = "ko",
         .sink = Sink::Pipe,
         .start = counted("stdbuf -oL build/pdTest")},
        {.id = "full-device", .params = "-", .lang = "en", .sink = Sink::FullDevice, .start = {}},
        {.id = "no-fork",
         .params = "-",
         .lang = "ko",
         .sink = Sink::Terminal,
         .start = {.fault = Fault::NoFork}},
        {.id = "no-wait",
         .params = "-",
         .lang = "en",
         .sink = Sink::Pipe,
         .start = {.fault = Fault::NoWait}},
        {.id = "no-wait",
         .params = "refused=first",
         .lang = "ko",
         .sink = Sink::Pipe,
         .start = traced("wait4:error=EPERM:when=1")},
        {.id = "no-sleep",
         .params = "-",
         .lang = "ko",
         .sink = Sink::Terminal,
         .start = traced("clock_nanosleep:retval=0")},
        {.id = "write-error",
         .params = "write=3",
         .lang = "en",
         .sink = Sink::Terminal,
         .start = traced("write:error=EIO:when=3")},
        {.id = "write-error",
         .params = "write=1",
         .lang = "ko",
         .sink = Sink::Terminal,
         .start = traced("write:error=EIO:when=1")},
        {.id = "child-killed",
         .params = "-",
         .lang = "en",
         .sink = Sink::Terminal,
         .start = {.child_signal = SIGTERM}},
        {.id = "orphan",
         .params = "-",
         .lang = "ko",
         .sink = Sink::Terminal,
         .start = orphaned("TERM")},
        {.id = "orphan",
         .params = "signal=SIGHUP",
         .lang = "en",
         .sink = Sink::Terminal,
         .start = orphaned("HUP")},
        {.id = "reader-gone",
         .params = "-",
         .lang = "en",
         .sink = Sink::Pipe,
         .start = {.shell = "{ build/pdTest 2>err; echo \"status $?\" >&2; } | true\n"
                            "echo \"stderr $(wc -l < err)\" >&2\n"}},
        {.id = "reader-gone",
         .params = "sigpipe=ignored",
         .lang = "ko",
         .sink = Sink::Pipe,
         .start = {.shell = "{ (trap '' PIPE; exec build/pdTest) 2>err; echo \"status $?\" >&2; } |"
                            " true\necho \"stderr $(wc -l < err)\" >&2\n"}},
        {.id = "exec-with-child",
         .params = "-",
         .lang = "ko",
         .sink = Sink::Terminal,
         .start = with_jobs("sleep 1 & ")},
        {.id = "exec-with-child",
         .params = "jobs=1+5",
         .lang = "en",
         .sink = Sink::Terminal,
         .start = with_jobs("sleep 1 & sleep 5 & ")},
    };
    return all;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> fields_of(const std::string &line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) {
        fields.push_back(field);
    }
    return fields;
}

// The answer to each question, from this test's own run of pdTest.
std::map<std::string, std::string> answers_of(const Variant &v, const Outcome &r) {
    std::map<std::string, std::string> a;
    const auto out = lines_of(r.out);
    a["lines"] = std::to_string(std::ranges::count(r.out, '\n'));
    a["address"] = std::to_string(std::ranges::count_if(
        out, [](const auto &line) { return line.starts_with("메인에서 할당된 y주소 : "); }));
    std::vector<std::string> blocks;
    for (const auto &line : out) {
        constexpr std::string_view kBlock = "현재 프로세스 ";
        if (line.starts_with(kBlock) && line != std::string(kBlock) + "-1") {
            const auto who = line == std::string(kBlock) + "0" ? "child" : "parent";
            if (std::ranges::find(blocks, who) == blocks.end()) {
                blocks.emplace_back(who);
            }
        }
    }
    a["first"] = blocks.size() == 2 ? blocks[0] : blocks.empty() ? "none" : "one";
    if (v.start.shell.empty()) {
        const int code = r.exit_code();
        a["status"] = std::to_string(code < 0 ? 128 - code : code);
        a["stderr"] = std::to_string(std::ranges::count(r.err, '\n'));
    } else {
        for (const auto &line : lines_of(r.err)) {
            const auto space = line.find(' ');
            if (space != std::string::npos) {
                a[line.substr(0, space)] = line.substr(space + 1);
            }
        }
    }
    return a;
}

std::string translated(const std::string &answer, const std::string &lang) {
    static const std::map<std::string, std::string> kKorean = {
        {"child", "자식"}, {"parent", "부모"}, {"one", "하나"}, {"none", "없음"}};
    const auto word = kKorean.find(answer);
    return lang == "ko" && word != kKorean.end() ? word->second : answer;
}

// A student of class seed 1 whose lab runs this variant, and the questions it asks, one a line.
std::string student_for(const Variant &v) {
    return "n=0\n"
           "until tools/pdTest-lab --list --seed 1 --student s$n | grep -q '^" +
           v.id + "\t" + v.params +
           "\t'; do\n"
           "  n=$((n + 1))\n"
           "  [ $n -lt 300 ] || { echo 'no student draws this variant'; exit 1; }\n"
           "done\n";
}

// Checks each line of the report and prints it as scenario, question, actual, correct,
// parameters; then the closing line as end, right, asked and answered.
constexpr std::string_view kReadReport =
    "python3 -c '\n"
    "import datetime, json, sys\n"
    "lines = [json.loads(line) for line in open(sys.argv[1], encoding=\"utf-8\")]\n"
    "for o in lines[:-1]:\n"
    "    assert sorted(o) == sorted([\"scenario\", \"question\", \"answer\", \"actual\",\n"
    "        \"correct\", \"seed\", \"time\", \"student\", \"format\", \"lang\", \"typed\",\n"
    "        \"shown\", \"program_sha256\", \"params\"]), o\n"
    "    assert isinstance(o[\"correct\"], bool) and o[\"format\"] == 2, o\n"
    "    assert len(o[\"program_sha256\"]) == 64 and o[\"typed\"] is False, o\n"
    "    datetime.datetime.fromisoformat(o[\"time\"])\n"
    "    p = \",\".join(k + \"=\" + (\"+\".join(map(str, v)) if isinstance(v, list) else\n"
    "        str(v)) for k, v in o[\"params\"].items()) or \"-\"\n"
    "    print(o[\"scenario\"], o[\"question\"], o[\"actual\"], str(o[\"correct\"]).lower(), p,\n"
    "          sep=\"\\t\")\n"
    "e = lines[-1]\n"
    "print(e[\"end\"], e[\"right\"], e[\"asked\"], e[\"answered\"], sep=\"\\t\")\n"
    "' report\n";

class LabVariant : public testing::TestWithParam<Variant> {};

TEST_P(LabVariant, GradesByWhatARunOfItsOwnShows) {
    const Variant &v = GetParam();
    const Outcome own = run(v.sink, v.start);
    const auto expected = answers_of(v, own);

    const Outcome listed = run(Sink::Pipe, {.shell = student_for(v) +
                                                     "echo \"s$n\"\n"
                                                     "tools/pdTest-lab --list --seed 1 --student "
                                                     "s$n " +
                                                     v.id + " | cut -f 2\n"});
    const auto said = lines_of(listed.out);
    ASSERT_GE(said.size(), 2U) << listed.out << listed.err;
    const auto &student = said[0];
    const std::vector<std::string> questions(said.begin() + 1, said.end());
    std::string answers;
    for (const auto &question : questions) {
        ASSERT_TRUE(expected.contains(question)) << "no run of this test answers " << question;
        answers += " '" + translated(expected.at(question), v.lang) + "'";
    }

    const Outcome lab =
        run(Sink::Pipe,
            {.shell = script({kLab, "printf '%s\\n'", answers, " | tools/pdTest-lab --lang ",
                              v.lang, " --seed 1 --student ", student, " --report report ", v.id,
                              " > said\necho \"lab $?\"\n", kReadReport, "tail -n 1 said\n"})});
    EXPECT_EQ(lab.err, "");
    EXPECT_EQ(lab.left, std::vector<int>{}) << "the lab left processes behind";
    const auto out = lines_of(lab.out);
    const auto n = questions.size();
    ASSERT_EQ(out.size(), n + 3) << lab.out;
    EXPECT_EQ(out.front(), "lab 0");
    for (std::size_t i = 0; i < n; ++i) {
        const auto f = fields_of(out[1 + i]);
        ASSERT_EQ(f.size(), 5U) << out[1 + i];
        EXPECT_EQ(f[0], v.id);
        EXPECT_EQ(f[1], questions[i]);
        EXPECT_EQ(f[2], expected.at(questions[i])) << questions[i] << "\n" << own.out << own.err;
        EXPECT_EQ(f[3], "true") << questions[i];
        EXPECT_EQ(f[4], v.params);
    }
    const auto all = std::to_string(n);
    EXPECT_EQ(out[n + 1], "complete\t" + all + "\t" + all + "\t" + all);
    EXPECT_EQ(out.back(), v.lang == "ko" ? all + "문제 중 " + all + "문제를 맞혔습니다."
                                         : "Score: " + all + " of " + all + ".");
}

INSTANTIATE_TEST_SUITE_P(Lab, LabVariant, testing::ValuesIn(variants()),
                         [](const testing::TestParamInfo<Variant> &p) {
                             std::string name = p.param.id;
                             if (p.param.params != "-") {
                                 name += "_" + p.param.params;
                             }
                             std::ranges::replace_if(
                                 name, [](char c) { return std::isalnum(c) == 0; }, '_');
                             return name;
                         });

// A simulated class of 40: each student's order and variants their own, every variant run for
// real; and a summary of a class's reports that finds the misconception planted in them, keeps
// answers of the wrong form apart, and flags a run under --show, a fake program, an edited
// report and an early end, in text, JSON lines and SVG, in both languages.
TEST(LabClass, EachStudentsRunsAreTheirOwn) {
    const Outcome r = run(Sink::Pipe, {.shell = script({kLab, "python3 " PDTEST_SOURCE_DIR
                                                              "/tests/lab_class.py students\n"})});
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.left, std::vector<int>{});
}

TEST(LabClass, TheSummaryFindsWhatWasPlanted) {
    const Outcome r = run(Sink::Pipe, {.shell = script({kLab, "python3 " PDTEST_SOURCE_DIR
                                                              "/tests/lab_class.py summary\n"})});
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.left, std::vector<int>{});
}

// Wrong answers score none, and a near one is told why; an answer is read as any word its
// prompt shows, blanks between its words alike, and typed composed or not; one of the wrong
// form is counted as wrong.
TEST(LabUse, GradesWrongAndNearAnswersAndReadsEveryShownWord) {
    const Outcome r = run(
        Sink::Pipe,
        {.shell = script({kLab,
                          "{ printf '%s\\n' 12 2 '  자식   먼저 ' 99 '3 lines' 2\n"
                          "  printf '\\341\\204\\214\\341\\205\\241\\341\\204\\211"
                          "\\341\\205\\265\\341\\206\\250\\n0\\n'; } |\n"
                          "tools/pdTest-lab --lang ko --report report orphan no-sleep > "
                          "said\necho \"lab $?\"\n",
                          kReadReport, "grep -c '틀렸습니다' said\n",
                          "grep -c '^    “자식”은 두 블록이 모두 나오고 자식의 블록이' said\n"})});
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 12U) << r.out << r.err;
    EXPECT_EQ(out[0], "lab 0");
    EXPECT_EQ(out[1], "orphan\tlines\t11\tfalse\t-");
    EXPECT_EQ(out[3], "orphan\tfirst\tone\tfalse\t-");
    EXPECT_EQ(out[4], "orphan\tstatus\t143\tfalse\t-");
    EXPECT_EQ(out[5], "no-sleep\tlines\t20\tfalse\t-");
    EXPECT_EQ(out[7], "no-sleep\tfirst\tchild\ttrue\t-");
    EXPECT_EQ(out[8], "no-sleep\tstatus\t0\ttrue\t-");
    EXPECT_EQ(out[9], "complete\t2\t8\t8");
    EXPECT_EQ(out[10], "6");
    EXPECT_EQ(out[11], "1") << "the near answer is told why";
}

// A run that ends early says so in its closing line and exits 3, its answers kept and graded;
// a report on a nearly full disk is cut back to its last whole line, and the lab says why.
TEST(LabReport, EndsOnAWholeLineAndSaysWhetherTheRunWasComplete) {
    const Outcome r =
        run(Sink::Pipe,
            {.shell = script(
                 {kLab,
                  "printf '20\\n' | tools/pdTest-lab --report report no-sleep > /dev/null\n"
                  "echo \"early $?\"\n",
                  kReadReport,
                  // 512-byte blocks for dash's ulimit: the report's first line crosses the limit.
                  "head -c 1023900 /dev/zero | tr '\\0' x > full; echo >> full\n"
                  "(ulimit -f 2000; printf '20\\n1\\nchild\\n0\\n' |\n"
                  "  tools/pdTest-lab --report full no-sleep > /dev/null 2> err)\n"
                  "echo \"full $?\"\ncat err\n"
                  "wc -c < full\ntail -c 1 full | od -An -c\n"})});
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 7U) << r.out << r.err;
    EXPECT_EQ(out[0], "early 3");
    EXPECT_EQ(out[1], "no-sleep\tlines\t20\ttrue\t-");
    EXPECT_EQ(out[2], "early\t1\t1\t1");
    EXPECT_EQ(out[3], "full 1");
    EXPECT_EQ(out[4], "tools/pdTest-lab: full: File too large");
    EXPECT_EQ(out[5], "1023901");
    EXPECT_EQ(out[6], "  \\n");
    EXPECT_EQ(r.left, std::vector<int>{});
}

TEST(LabUse, ListsScenariosAndRefusesWhatIsNoRequest) {
    const Outcome r = run(Sink::Pipe, {.shell = "tools/pdTest-lab --list | cut -f 1,2\n"
                                                "for how in nonsense '--student kim' "
                                                "'--json pipe' 'pipe pipe'; do\n"
                                                "  tools/pdTest-lab $how 2>&1; echo \"status $?\"\n"
                                                "done\n"
                                                "tools/pdTest-lab terminal > said\n"
                                                "echo \"status $?\"\n"
                                                "tail -n 1 said\n"});
    const auto out = lines_of(r.out);
    const auto &all = variants();
    std::vector<std::string> ids;
    for (const auto &v : all) {
        if (std::ranges::find(ids, v.id) == ids.end()) {
            ids.push_back(v.id);
        }
    }
    ASSERT_EQ(out.size(), ids.size() + 10) << r.out;
    for (const auto &id : ids) {
        EXPECT_EQ(std::ranges::count_if(out,
                                        [&](const auto &line) {
                                            return line == id + "\t-" ||
                                                   line.starts_with(id + "\twrite=");
                                        }),
                  1)
            << id << " listed once, without a seed as it runs when named";
    }
    const auto *refused = &out[ids.size()]; // one line each, and only one
    EXPECT_TRUE(refused[0].starts_with("tools/pdTest-lab: unknown scenario 'nonsense'"));
    EXPECT_TRUE(refused[0].ends_with("(see tools/pdTest-lab -h)")) << refused[0];
    EXPECT_EQ(refused[1], "status 2");
    EXPECT_TRUE(refused[2].starts_with("tools/pdTest-lab: --student needs --seed")) << refused[2];
    EXPECT_EQ(refused[3], "status 2");
    EXPECT_TRUE(refused[4].starts_with("tools/pdTest-lab: --json goes only with --summary"));
    EXPECT_EQ(refused[5], "status 2");
    EXPECT_TRUE(refused[6].starts_with("tools/pdTest-lab: scenario 'pipe' named twice"));
    EXPECT_EQ(refused[7], "status 2");
    EXPECT_EQ(refused[8], "status 3");
    EXPECT_EQ(refused[9], "End of input: score so far 0 of 0.");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.left, std::vector<int>{});
}

// Each failure in one line with status 1, before anything is asked: a full standard output,
// for the help too; a report that is a named pipe nobody reads, which would block its opening;
// strace unable to start the program, with what strace said. A named pipe whose reader leaves
// is the report's error, not a signal; standard input that is a folder only where answers
// are read from it.
TEST(LabUse, SaysWhatWentWrongInOneLine) {
    const Outcome r = run(
        Sink::Pipe, {.shell = "for how in --list -h; do\n"
                              "  tools/pdTest-lab $how > /dev/full 2>err; echo \"status $?\"\n"
                              "  cat err\n"
                              "done\n"
                              "mkfifo fifo\n"
                              "timeout 60 tools/pdTest-lab --report fifo pipe < /dev/null 2>err\n"
                              "echo \"status $?\"\ncat err\n"
                              "printf 'hello\\n' > text; chmod +x text\n"
                              "tools/pdTest-lab --show --program ./text pipe > /dev/null 2>err\n"
                              "echo \"status $?\"\ncat err\n"
                              "exec 3<> fifo; head -c 1 <&3 > /dev/null & exec 3<&-\n"
                              "tools/pdTest-lab --show --report fifo no-sleep pipe > /dev/null "
                              "2>err\n"
                              "echo \"status $?\"\ncat err\n"
                              "tools/pdTest-lab pipe < / 2>err; echo \"status $?\"\ncat err\n"
                              "tools/pdTest-lab --list < / | head -n 1 | cut -f 1\n"});
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 13U) << r.out;
    for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
        EXPECT_EQ(out[i], "status 1") << out[i + 1];
    }
    EXPECT_EQ(out[1], "tools/pdTest-lab: standard output: No space left on device");
    EXPECT_EQ(out[3], out[1]);
    EXPECT_EQ(out[5], "tools/pdTest-lab: fifo: a named pipe that nothing reads");
    EXPECT_TRUE(out[7].starts_with("tools/pdTest-lab: ./text: ")) << out[7];
    EXPECT_NE(out[7].find("(strace: "), std::string::npos) << out[7];
    EXPECT_EQ(out[9], "tools/pdTest-lab: fifo: Broken pipe");
    EXPECT_EQ(out[11], "tools/pdTest-lab: standard input: is a folder");
    EXPECT_EQ(out[12], "terminal");
    EXPECT_EQ(r.left, std::vector<int>{});
}

// Answers from a pipe are shown as text, never as bytes for the terminal; a number too long for
// any run is no answer, not a crash.
TEST(LabUse, ShowsAnswersFromAPipeEscapedAndCountsWhatIsNoAnswerAsWrong) {
    const Outcome r =
        run(Sink::Pipe, {.shell = "{ awk 'BEGIN { while (n++ < 5000) printf \"9\"; print \"\" }'\n"
                                  "  printf '\\033[31mRED\\033]0;pwned\\007\\n'; } |\n"
                                  "tools/pdTest-lab pipe\n"
                                  "echo \"status $?\"\n"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find_first_of("\x1b\x07"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("> \\x1b[31mRED\\x1b]0;pwned\\x07\n"), std::string::npos) << r.out;
    const auto out = lines_of(r.out);
    EXPECT_EQ(std::ranges::count_if(out, [](const auto &line) { return line.starts_with("“"); }), 2)
        << r.out;
    EXPECT_TRUE(std::ranges::all_of(out, [](const auto &line) { return line.size() < 200; }))
        << "an answer shown whole, however long";
    ASSERT_GE(out.size(), 2U);
    EXPECT_EQ(out[out.size() - 2], "End of input: score so far 0 of 2.");
    EXPECT_EQ(out.back(), "status 3");
}

// SIGUSR1 and SIGKILL to the lab while pdTest runs: nothing it started is left running (the
// harness, a subreaper, would collect it); the first says so in one line and closes the
// report as early, the second cannot. (A script's background job ignores SIGINT and SIGQUIT.)
TEST(LabEnding, NothingIsLeftRunningWhateverEndsTheLab) {
    const Outcome r = run(
        Sink::Pipe,
        {.shell = script(
             {kLab,
              "for sig in USR1 KILL; do\n"
              "  tools/pdTest-lab --show --report r$sig pipe > /dev/null 2> err & l=$!\n"
              "  i=0\n"
              "  until ps -e -o pid=,ppid=,comm= | awk -v l=$l '\n"
              "      { parent[$1] = $2; name[$1] = $3 }\n"
              "      END { for (p in name) if (name[p] == \"pdTest\")\n"
              "              for (q = parent[p]; q > 1; q = parent[q]) if (q == l) found = 1\n"
              "            exit !found }'; do\n"
              "    i=$((i + 1))\n"
              "    [ $i -lt 2000 ] && kill -0 $l 2>/dev/null || { echo 'no pdTest seen'; break; }\n"
              "    sleep 0.01\n"
              "  done\n"
              "  kill -$sig $l; wait $l; echo \"$sig $?\"; cat err\n"
              "  tail -n 1 r$sig | grep -c '^{\"end\": \"early\"'\n"
              "done\n"
              // What the lab started ends well within pdTest's 3-second pause.
              "s=$(ps -o sid= -p $$) i=0\n"
              "while ps -e -o sid=,comm= | grep -Eq \"^ *$s (pdTest|strace)$\"; do\n"
              "  i=$((i + 1)); [ $i -lt 250 ] || { echo 'left running'; break; }\n"
              "  sleep 0.01\n"
              "done\n"})});
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 5U) << r.out << r.err;
    EXPECT_EQ(out[0], "USR1 138");
    EXPECT_EQ(out[1], "tools/pdTest-lab: interrupted by SIGUSR1; score so far 0 of 0");
    EXPECT_EQ(out[2], "1");
    EXPECT_EQ(out[3], "KILL 137");
    EXPECT_EQ(out[4], "0");
    // The keeper, which outlives the killed lab only to end the run.
    EXPECT_EQ(r.left, std::vector<int>{0});
}

} // namespace
