// Every manual page's examples, run as a reader would type them, or named here with the reason
// they cannot be.

#include "documents.hpp"
#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

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
        const auto found = manual(std::string(page));
        for (const auto &example : found.examples) {
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
