// The documentation's test: its transcripts, run again command by command and compared with what
// a real run shows; each English document and its Korean translation kept parallel; and every
// manual page's examples run as a reader would type them.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

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
    std::string script = "exec 2>&1\n";
    if (PDTEST_SANITIZED && GetParam().script.find("tools/pdTest-") != std::string::npos) {
        // The tools trace pdTest, and LeakSanitizer cannot work under ptrace.
        script += "export ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\"\n";
    }
    const Outcome r = run(Sink::Terminal, {.shell = script + GetParam().script});
    EXPECT_EQ(generalized(GetParam().shown, GetParam().by_shape),
              generalized(r.out, GetParam().by_shape));
}

const auto kTestName = [](const testing::TestParamInfo<Transcript> &p) { return p.param.name; };
INSTANTIATE_TEST_SUITE_P(Readmes, Documented,
                         testing::ValuesIn(documented({"README.md", "README.ko.md"})), kTestName);
INSTANTIATE_TEST_SUITE_P(
    Experiments, Documented,
    testing::ValuesIn(documented({"doc/experiments.md", "doc/experiments.ko.md"})), kTestName);

// What the translation check and the examples read of a document: its sections, in order, each
// with its prose and the commands of its code blocks, and, for a manual page, its examples.
struct Step {
    std::string prompt;  // "$ ", or "# " for root
    std::string command; // as the reader types it
    std::string shown{}; // what the page shows it print, if anything
};

struct Section {
    std::string key;     // the same in both languages: the heading's level and numbers, or the
                         // manual section it is
    std::string title{}; // as written, for messages
    std::string prose{};
    std::vector<std::string> commands{};
};

struct Document {
    std::vector<Section> sections{};
    std::string code{}; // everything in its code blocks and examples
    std::vector<std::vector<Step>> examples{};
};

std::vector<std::string> lines_of(const std::string &file) {
    std::ifstream in(std::filesystem::path(PDTEST_SOURCE_DIR) / file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

Document markdown(const std::string &file) {
    Document d;
    d.sections.push_back({.key = "top"});
    bool fenced = false;
    bool shell = false;
    for (const std::string &line : lines_of(file)) {
        if (line.starts_with("```")) {
            fenced = !fenced;
            shell = line == "```sh";
        } else if (fenced) {
            d.code += line + "\n";
            if (line.starts_with("$ ") || (shell && !line.empty())) {
                d.sections.back().commands.push_back(line.substr(line.starts_with("$ ") ? 2 : 0));
            }
        } else if (line.starts_with("#")) {
            // "## 1. Buffering: how many lines?" and "## 1. 버퍼링, 몇 줄이 나올까?" are one.
            const auto level = line.substr(0, line.find(' '));
            const auto number = std::regex_replace(line, std::regex("^#+ ([0-9]*).*"), "$1");
            d.sections.push_back({.key = level + number, .title = line});
        } else {
            d.sections.back().prose += line + "\n";
        }
    }
    return d;
}

// A line of troff as it reads: fonts gone, escapes written out.
std::string plain(std::string_view troff) {
    static const std::map<std::string, std::string, std::less<>> kNamed = {
        {"aq", "'"}, {"dq", "\""}, {"oq", "'"}, {"cq", "'"}, {"bu", "*"}};
    std::string out;
    for (std::size_t i = 0; i < troff.size(); ++i) {
        if (troff[i] != '\\' || i + 1 == troff.size()) {
            out += troff[i];
            continue;
        }
        switch (const char escape = troff[++i]) {
        case 'f': // \fB, \fI, \fP, \fR
            ++i;
            break;
        case '(': {
            const auto named = kNamed.find(troff.substr(i + 1, 2));
            out += named == kNamed.end() ? "?" : named->second;
            i += 2;
            break;
        }
        case 'e':
            out += '\\';
            break;
        case '~':
            out += ' ';
            break;
        case '-':
            out += '-';
            break;
        default: // \& \% \: print nothing
            if (std::string_view("&%:").find(escape) == std::string_view::npos) {
                out += escape;
            }
        }
    }
    return out;
}

Document manual(const std::string &file) {
    // Each English section by the name its Korean page gives it.
    static const std::map<std::string, std::string, std::less<>> kKorean = {
        {"NAME", "이름"},         {"SYNOPSIS", "사용법"},       {"DESCRIPTION", "설명"},
        {"OPTIONS", "옵션"},      {"EXIT STATUS", "종료 상태"}, {"ENVIRONMENT", "환경 변수"},
        {"FILES", "파일"},        {"NOTES", "참고 사항"},       {"EXAMPLES", "예제"},
        {"SEE ALSO", "같이 보기"}};
    static const std::set<std::string, std::less<>> kText = {"B",  "I",  "BR", "BI",
                                                             "IB", "IR", "RB", "RI"};
    Document d;
    d.sections.push_back({.key = "top"});
    bool example = false;
    for (const std::string &line : lines_of(file)) {
        const auto macro = line.substr(0, line.find(' '));
        const auto rest = line.size() > macro.size() ? plain(line.substr(macro.size() + 1)) : "";
        if (macro == ".SH" || macro == ".SS") {
            const auto korean = kKorean.find(rest);
            d.sections.push_back({.key = macro + (macro == ".SS"            ? ""
                                                  : korean == kKorean.end() ? rest
                                                                            : korean->second),
                                  .title = line});
        } else if (macro == ".EX" || macro == ".EE") {
            example = macro == ".EX";
            if (example && d.sections.back().key == ".SH예제") {
                d.examples.emplace_back();
            }
        } else if (example) {
            const auto text = plain(line);
            d.code += text + "\n";
            const bool in_examples = d.sections.back().key == ".SH예제";
            if (text.starts_with("$ ") || text.starts_with("# ")) {
                d.sections.back().commands.push_back(text.substr(2));
                if (in_examples) {
                    d.examples.back().push_back(
                        {.prompt = text.substr(0, 2), .command = text.substr(2)});
                }
            } else if (in_examples && !d.examples.back().empty()) {
                d.examples.back().back().shown += text + "\n";
            }
        } else if (!line.starts_with(".") && !line.starts_with("'")) {
            d.sections.back().prose += plain(line) + "\n";
        } else if (kText.contains(macro.substr(1))) {
            d.sections.back().prose += rest + "\n";
        }
    }
    return d;
}

Document read(const std::string &file) {
    return file.ends_with(".md") ? markdown(file) : manual(file);
}

// The numbers a text gives: 3, 0.5, 3.000245, 0x558a5b4c62a0, x86-64's 64. Korean names a number
// base by its number (16진수, hexadecimal): that is a word.
std::set<std::string> figures(const std::string &text) {
    std::set<std::string> found;
    static const std::regex kWord("[0-9A-Za-z_.]*[0-9][0-9A-Za-z_.]*");
    const auto words = std::regex_replace(text, std::regex("[0-9]+진수"), "진수");
    for (auto w = std::sregex_iterator(words.begin(), words.end(), kWord);
         w != std::sregex_iterator(); ++w) {
        auto word = w->str();
        word.erase(word.find_last_not_of('.') + 1);
        found.insert(word);
    }
    return found;
}

std::set<std::string> without(const std::set<std::string> &these,
                              const std::set<std::string> &those) {
    std::set<std::string> left;
    std::ranges::set_difference(these, those, std::inserter(left, left.end()));
    return left;
}

// A command as both languages must give it. What is meant to differ: the language it asks the
// tools for, a Korean file beside an English one, the comment after it, and an answer a learner
// may type in Korean.
std::string normalized(std::string command) {
    static const std::vector<std::pair<std::regex, std::string>> kMeantToDiffer = {
        {std::regex(" +#.*"), ""},
        {std::regex(" --lang (en|ko)"), ""},
        {std::regex("man/ko/"), "man/"},
        {std::regex("\\.ko\\."), "."},
        {std::regex(" 자식( |$)"), " child$1"},
        {std::regex(" 부모( |$)"), " parent$1"},
        {std::regex(" 하나( |$)"), " one$1"},
        {std::regex(" 없음( |$)"), " none$1"},
        {std::regex(" 아니요( |$)"), " no$1"},
        {std::regex(" 예( |$)"), " yes$1"}};
    for (const auto &[pattern, instead] : kMeantToDiffer) {
        command = std::regex_replace(command, pattern, instead);
    }
    return command;
}

std::vector<std::string> normalized(const std::vector<std::string> &commands) {
    std::vector<std::string> all;
    std::ranges::transform(commands, std::back_inserter(all),
                           [](const std::string &c) { return normalized(c); });
    return all;
}

std::string titles(const Document &d) {
    std::string all;
    for (const Section &s : d.sections) {
        all += "  " + s.title + "\n";
    }
    return all;
}

std::vector<std::string> keys(const Document &d) {
    std::vector<std::string> all;
    std::ranges::transform(d.sections, std::back_inserter(all), &Section::key);
    return all;
}

struct Pair {
    std::string english;
    // cppcheck-suppress unusedStructMember ; read through a structured binding
    std::string korean;
};

void PrintTo(const Pair &pair, std::ostream *out) {
    *out << pair.english;
}

class Translation : public testing::TestWithParam<Pair> {};

// The same sections in the same order, the same commands, and the same numbers in the prose.
// A figure of a run (a process ID, an address, a time) differs from one language's transcript to
// the other's: the prose may quote those of its own document's transcripts, never the other's.
TEST_P(Translation, KeepsTheSameSectionsCommandsAndNumbers) {
    const auto &[english_file, korean_file] = GetParam();
    const Document english = read(english_file);
    const Document korean = read(korean_file);
    ASSERT_EQ(keys(english), keys(korean)) << "English:\n"
                                           << titles(english) << "Korean:\n"
                                           << titles(korean);
    const auto english_runs = without(figures(english.code), figures(korean.code));
    const auto korean_runs = without(figures(korean.code), figures(english.code));
    for (std::size_t i = 0; i < english.sections.size(); ++i) {
        const Section &en = english.sections[i];
        const Section &ko = korean.sections[i];
        const auto where = english_file + ", " + (en.title.empty() ? en.key : en.title);
        EXPECT_EQ(normalized(en.commands), normalized(ko.commands)) << where;
        EXPECT_EQ(without(figures(en.prose), english_runs), without(figures(ko.prose), korean_runs))
            << where << " (left: English, right: Korean)";
    }
}

const auto kPairName = [](const testing::TestParamInfo<Pair> &p) {
    auto name = std::filesystem::path(p.param.english).stem().string();
    std::ranges::replace(name, '-', '_');
    return name;
};
INSTANTIATE_TEST_SUITE_P(Translations, Translation,
                         testing::Values(Pair{"README.md", "README.ko.md"},
                                         Pair{"doc/experiments.md", "doc/experiments.ko.md"},
                                         Pair{"man/pdTest.1", "man/ko/pdTest.1"},
                                         Pair{"man/pdTest-timeline.1", "man/ko/pdTest-timeline.1"},
                                         Pair{"man/pdTest-pages.1", "man/ko/pdTest-pages.1"},
                                         Pair{"man/pdTest-lab.1", "man/ko/pdTest-lab.1"}),
                         kPairName);

// The examples that cannot run here, by their command, and why.
constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kNotRun = {
    {{"(pdTest > out.txt & sleep 1; pdTest-pages -f $! $(pgrep -P $!); wait)",
      "for root: frame numbers take CAP_SYS_ADMIN in the initial user namespace, and the suite "
      "runs as an ordinary user too"},
     {"c=$(pgrep -n -x pdTest); kill -STOP $c; sleep 5; kill -CONT $c",
      "typed in a second terminal while a timeline runs, it picks pdTest by name from the whole "
      "machine, where the suite runs other pdTests at once"},
     {"kill $(pgrep -n -x pdTest)", "the same"},
     {"kill $(pgrep -o -x pdTest)", "the same"},
     {"pdTest-lab pipe terminal", "a learner types each answer at the terminal"},
     {"pdTest-lab --lang ko pipe terminal", "the same"},
     {"pdTest-lab --seed 7 --student kim --report kim.jsonl",
      "a student answers every scenario at the terminal"},
     {"pdTest-lab --lang ko --seed 7 --student kim --report kim.jsonl", "the same"},
     {"pdTest-lab --summary --svg class.svg *.jsonl",
      "it reads a class's reports, which the class's runs make; LabClass.* tests it"},
     {"pdTest-lab --summary --lang ko --svg class.svg *.jsonl", "the same"}}};

bool not_run(std::string_view command) {
    return std::ranges::any_of(kNotRun, [&](const auto &entry) { return entry.first == command; });
}

constexpr std::array<std::string_view, 8> kPages = {
    "man/pdTest.1",          "man/ko/pdTest.1",
    "man/pdTest-timeline.1", "man/ko/pdTest-timeline.1",
    "man/pdTest-pages.1",    "man/ko/pdTest-pages.1",
    "man/pdTest-lab.1",      "man/ko/pdTest-lab.1"};

class PageExamples : public testing::TestWithParam<std::string_view> {};

// Each example as the page shows it, typed in one shell where the installed commands are the
// tree's: it must end well, print what the page shows it print, and never hand the lab every
// right answer, which would give the answers away.
TEST_P(PageExamples, RunAsShown) {
    if (std::getenv("PDTEST_WRAPPER") != nullptr || PDTEST_SANITIZED) {
        GTEST_SKIP() << "the examples run the learner's tools, which trace the plain program";
    }
    const Document page = manual(std::string(GetParam()));
    ASSERT_FALSE(page.examples.empty()) << GetParam() << " has no examples";
    for (const auto &example : page.examples) {
        std::string script = "exec 2>&1\nmkdir bin\nln -s \"$PWD/build/pdTest\" bin/\n"
                             "for t in timeline pages lab; do ln -s \"$PWD/tools/pdTest-$t\" bin/; "
                             "done\nPATH=$PWD/bin:$PATH\n";
        std::vector<Step> steps;
        for (const Step &step : example) {
            // Picked by name, the processes could be another test's.
            static const std::regex kMachineWide("\\b(pgrep|pkill|killall)\\b");
            if (!not_run(step.command) && std::regex_search(step.command, kMachineWide) &&
                step.command.find(" -P ") == std::string::npos) {
                ADD_FAILURE() << GetParam() << ": " << step.command
                              << " picks processes by name from the whole machine: not run";
                steps.clear();
                break;
            }
            if (!not_run(step.command)) {
                steps.push_back(step);
                script += "cat <<'PROMPT'\n" + step.prompt + step.command + "\nPROMPT\n" +
                          step.command + "\n";
            }
        }
        if (steps.empty()) {
            continue;
        }
        // In bash, the reader's shell, where a pipeline that fails anywhere fails.
        replace_all(script, "'", "'\\''");
        const Outcome r =
            run(Sink::Terminal, {.shell = "exec bash -e -o pipefail -c '" + script + "'"});
        EXPECT_EQ(r.exit_code(), 0) << GetParam() << ": " << steps[0].command << "\n" << r.out;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const auto prompt = steps[i].prompt + steps[i].command + "\n";
            const auto from = r.out.find(prompt);
            const auto to = i + 1 < steps.size()
                                ? r.out.find(steps[i + 1].prompt + steps[i + 1].command + "\n")
                                : std::string::npos;
            if (!steps[i].shown.empty() && from != std::string::npos) {
                EXPECT_EQ(generalized(steps[i].shown, true),
                          generalized(r.out.substr(from + prompt.size(), to - from - prompt.size()),
                                      true))
                    << GetParam() << ": " << steps[i].command;
            }
        }
        static const std::regex kAllRight("Score: ([1-9][0-9]*) of \\1\\.|"
                                          "([1-9][0-9]*)문제 중 \\2문제를 맞혔습니다");
        EXPECT_FALSE(std::regex_search(r.out, kAllRight))
            << GetParam() << ": the example hands the lab every right answer\n"
            << r.out;
    }
}

TEST(ExamplesNotRun, AreEachStillOnAPage) {
    std::set<std::string> shown;
    for (const auto &page : kPages) {
        for (const auto &example : manual(std::string(page)).examples) {
            for (const Step &step : example) {
                shown.insert(step.command);
            }
        }
    }
    for (const auto &[command, why] : kNotRun) {
        EXPECT_TRUE(shown.contains(std::string(command))) << command;
    }
}

const auto kPageName = [](const testing::TestParamInfo<std::string_view> &p) {
    auto name = std::filesystem::path(p.param).stem().string() +
                (p.param.starts_with("man/ko/") ? "_ko" : "");
    std::ranges::replace(name, '-', '_');
    return name;
};
INSTANTIATE_TEST_SUITE_P(ManPages, PageExamples, testing::ValuesIn(kPages), kPageName);

} // namespace
