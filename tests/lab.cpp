// pdTest-lab on the built pdTest: for each scenario, its answers against a run of pdTest made
// here the same way; answers that match that run score full marks and others none; its report
// is JSON; and it leaves no process behind, the orphan's included.

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
// error how it ended: "status N", "stderr N" and, where they look, "writes N" or "zombie yes".
constexpr std::string_view kEnded = "echo \"status $?\" >&2\necho \"stderr $(wc -l < err)\" >&2\n";
// Writes to standard output by every process of the trace but the first, which is the parent.
constexpr std::string_view kTraced = "strace -f -qq -o trace -e trace=write,execve ";
constexpr std::string_view kChildWrites =
    "awk 'NR == 1 { p = $1 } $1 != p && / write\\(1,/ { n++ } "
    "END { print \"writes\", n + 0 }' trace >&2\n";
// pdTest in the background, and c its child once that is asleep in its pause.
constexpr std::string_view kUntilPause =
    "build/pdTest 2>err & p=$!\n"
    "until c=$(cat /proc/$p/task/$p/children 2>/dev/null) && c=${c%% *} && [ -n \"$c\" ] &&\n"
    "    grep -qs nanosleep /proc/$c/wchan; do sleep 0.01; done\n";

struct Scenario {
    std::string id;
    std::string lang; // the language the learner answers in
    Sink sink;        // where pdTest's standard output goes in this test's own run
    Start start;      // how this test runs it; a script reports how it ended as above
};

void PrintTo(const Scenario &s, std::ostream *out) {
    *out << s.id;
}

std::string script(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const auto part : parts) {
        text += part;
    }
    return text;
}

const std::vector<Scenario> &scenarios() {
    static const std::vector<Scenario> all = {
        {"terminal",
         "en",
         Sink::Terminal,
         {.shell = script({kTraced, "build/pdTest 2>err\n", kEnded, kChildWrites})}},
        {"pipe",
         "ko",
         Sink::Pipe,
         {.shell = script({kTraced, "build/pdTest 2>err\n", kEnded, kChildWrites})}},
        {"file", "en", Sink::File, {}},
        {"line-buffered",
         "ko",
         Sink::Pipe,
         {.shell = script({kTraced, "stdbuf -oL build/pdTest 2>err\n", kEnded, kChildWrites})}},
        {"full-device", "en", Sink::FullDevice, {}},
        {"no-fork", "ko", Sink::Terminal, {.fault = Fault::NoFork}},
        {"no-wait", "en", Sink::Pipe, {.fault = Fault::NoWait}},
        {"no-sleep",
         "ko",
         Sink::Terminal,
         {.before = {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                     "inject=clock_nanosleep:retval=0"}}},
        {"child-killed", "en", Sink::Terminal, {.child_signal = SIGTERM}},
        {"orphan",
         "ko",
         Sink::Terminal,
         {.shell = script({kUntilPause, "kill $p\nwait $p\n", kEnded})}},
        {"reader-gone",
         "en",
         Sink::Pipe,
         {.shell = "{ build/pdTest 2>err; echo \"status $?\" >&2; } | true\n"
                   "echo \"stderr $(wc -l < err)\" >&2\n"}},
        // The zombie: the sleep, exited and never collected, while pdTest's child pauses.
        {"exec-with-child",
         "ko",
         Sink::Terminal,
         {.shell = "sh -c 'sleep 1 & exec build/pdTest' 2>err & p=$!\n"
                   "z=no\n"
                   "while :; do\n"
                   "  s=$(ps -o stat=,wchan:32= --ppid $p)\n"
                   "  case $s in *Z*) case $s in *nanosleep*) z=yes; break;; esac;; esac\n"
                   "  case $(ps -o stat= -p $p) in Z*|'') break;; esac\n"
                   "  sleep 0.05\n"
                   "done\n"
                   "wait $p\n"
                   "echo \"status $?\" >&2\necho \"stderr $(wc -l < err)\" >&2\n"
                   "echo \"zombie $z\" >&2\n"}},
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
std::map<std::string, std::string> answers_of(const Scenario &s, const Outcome &r) {
    std::map<std::string, std::string> a;
    const auto out = lines_of(r.out);
    a["lines"] = std::to_string(std::ranges::count(r.out, '\n'));
    a["twice"] = std::to_string(std::ranges::count_if(
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
    if (s.start.shell.empty()) {
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
        {"child", "자식"}, {"parent", "부모"}, {"one", "하나"},
        {"none", "없음"},  {"yes", "예"},      {"no", "아니요"}};
    const auto word = kKorean.find(answer);
    return lang == "ko" && word != kKorean.end() ? word->second : answer;
}

std::string wrong(const std::string &answer) {
    static const std::map<std::string, std::string> kOther = {
        {"child", "parent"}, {"parent", "child"}, {"one", "none"},
        {"none", "one"},     {"yes", "no"},       {"no", "yes"}};
    const auto other = kOther.find(answer);
    return other != kOther.end() ? other->second : std::to_string(std::stoi(answer) + 1);
}

// Checks each line of the report and prints it as scenario, question, actual, correct.
constexpr std::string_view kReadReport =
    "python3 -c '\n"
    "import datetime, json, sys\n"
    "for line in open(sys.argv[1], encoding=\"utf-8\"):\n"
    "    o = json.loads(line)\n"
    "    assert sorted(o) == sorted([\"scenario\", \"question\", \"answer\", \"actual\",\n"
    "                               \"correct\", \"seed\", \"time\"]), line\n"
    "    assert isinstance(o[\"correct\"], bool), line\n"
    "    datetime.datetime.fromisoformat(o[\"time\"])\n"
    "    print(o[\"scenario\"], o[\"question\"], o[\"actual\"], str(o[\"correct\"]).lower(),\n"
    "          sep=\"\\t\")\n"
    "' report\n";

class LabScenario : public testing::TestWithParam<Scenario> {};

// Each scenario twice in one lab: first with the answers this test's own run gives, then with
// others, the first of them not even a number or a choice.
TEST_P(LabScenario, GradesByWhatARunOfItsOwnShows) {
    const Scenario &s = GetParam();
    const Outcome own = run(s.sink, s.start);
    const auto expected = answers_of(s, own);

    const Outcome listed = run(Sink::Pipe, {.shell = "tools/pdTest-lab --list " + s.id});
    std::vector<std::string> questions;
    std::string right;
    std::string others;
    for (const auto &line : lines_of(listed.out)) {
        const auto question = fields_of(line).at(1);
        questions.push_back(question);
        ASSERT_TRUE(expected.contains(question)) << "no run of this test answers " << question;
        right += " '" + translated(expected.at(question), s.lang) + "'";
        others += questions.size() == 1
                      ? std::string(" many")
                      : " '" + translated(wrong(expected.at(question)), s.lang) + "'";
    }
    ASSERT_FALSE(questions.empty());

    const Outcome lab =
        run(Sink::Pipe,
            {.shell = script({kLab, "printf '%s\\n'", right, others, " | tools/pdTest-lab --lang ",
                              s.lang, " --report report ", s.id, " ", s.id,
                              " > said\necho \"lab $?\"\n", kReadReport, "tail -n 1 said\n"})});
    EXPECT_EQ(lab.err, "");
    EXPECT_EQ(lab.left, std::vector<int>{}) << "the lab left processes behind";
    const auto out = lines_of(lab.out);
    const auto n = questions.size();
    ASSERT_EQ(out.size(), 2 * n + 2) << lab.out;
    EXPECT_EQ(out.front(), "lab 0");
    for (std::size_t i = 0; i < 2 * n; ++i) {
        const auto f = fields_of(out[1 + i]);
        ASSERT_EQ(f.size(), 4U) << out[1 + i];
        EXPECT_EQ(f[0], s.id);
        EXPECT_EQ(f[1], questions[i % n]);
        EXPECT_EQ(f[2], expected.at(questions[i % n])) << questions[i % n] << "\n" << own.out;
        EXPECT_EQ(f[3], i < n ? "true" : "false") << questions[i % n];
    }
    const auto score =
        s.lang == "ko"
            ? std::to_string(2 * n) + "문제 중 " + std::to_string(n) + "문제를 맞혔습니다."
            : "Score: " + std::to_string(n) + " of " + std::to_string(2 * n) + ".";
    EXPECT_EQ(out.back(), score);
}

INSTANTIATE_TEST_SUITE_P(Lab, LabScenario, testing::ValuesIn(scenarios()),
                         [](const testing::TestParamInfo<Scenario> &p) {
                             std::string name = p.param.id;
                             std::ranges::replace(name, '-', '_');
                             return name;
                         });

TEST(LabUse, ListsTheseScenariosRefusesOthersAndStopsAtTheEndOfInput) {
    const Outcome r = run(Sink::Pipe, {.shell = "tools/pdTest-lab --list | cut -f 1\n"
                                                "tools/pdTest-lab nonsense 2>err\n"
                                                "echo \"status $?\"\n"
                                                "cat err\n"
                                                "tools/pdTest-lab terminal > said\n"
                                                "echo \"status $?\"\n"
                                                "tail -n 1 said\n"});
    const auto out = lines_of(r.out);
    const auto &all = scenarios();
    ASSERT_EQ(out.size(), all.size() + 4) << r.out;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(out[i], all[i].id);
    }
    EXPECT_EQ(out[all.size()], "status 2");
    const auto &refused = out[all.size() + 1]; // one line, and only one
    EXPECT_TRUE(refused.starts_with("tools/pdTest-lab: unknown scenario 'nonsense'")) << refused;
    EXPECT_TRUE(refused.ends_with("(see tools/pdTest-lab -h)")) << refused;
    for (const auto &s : all) {
        EXPECT_NE(refused.find(s.id), std::string::npos) << refused;
    }
    EXPECT_EQ(out[all.size() + 2], "status 0");
    EXPECT_EQ(out[all.size() + 3], "End of input: score so far 0 of 0.");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.left, std::vector<int>{});
}

// Each failure in one line with status 1, before anything is asked: a full standard output,
// for the help too; a report that is a named pipe nobody reads, which would block its opening;
// strace unable to start the program, with what strace said.
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
                              "echo \"status $?\"\ncat err\n"});
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 8U) << r.out;
    for (std::size_t i = 0; i < out.size(); i += 2) {
        EXPECT_EQ(out[i], "status 1") << out[i + 1];
    }
    EXPECT_EQ(out[1], "tools/pdTest-lab: standard output: No space left on device");
    EXPECT_EQ(out[3], out[1]);
    EXPECT_EQ(out[5], "tools/pdTest-lab: fifo: a named pipe that nothing reads");
    EXPECT_TRUE(out[7].starts_with("tools/pdTest-lab: ./text: ")) << out[7];
    EXPECT_NE(out[7].find("(strace: "), std::string::npos) << out[7];
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
    EXPECT_EQ(out[out.size() - 2], "End of input: score so far 0 of 0.");
    EXPECT_EQ(out.back(), "status 0");
}

} // namespace
