// The documentation's transcripts, run again command by command and compared with what a real
// run shows.

#include "documents.hpp"
#include "harness.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
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

} // namespace
