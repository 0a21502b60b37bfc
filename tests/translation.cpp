// Each English document and its Korean translation kept parallel: the same sections in the same
// order, the same commands, and the same numbers in the prose.

#include "documents.hpp"
#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

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

} // namespace
