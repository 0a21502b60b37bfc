// pdTest-timeline on the built pdTest: what it reads back from a real trace, on a terminal and
// through a pipe, and the pictures it made for the documents.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kSource = PDTEST_SOURCE_DIR;

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

// Says "unrendered" if it cannot render the picture for want of rsvg-convert.
constexpr std::string_view kCheckPicture =
    "python3 -c 'import sys, xml.etree.ElementTree as svg; svg.parse(sys.argv[1])' \"$picture\"\n"
    "if command -v rsvg-convert >/dev/null; then rsvg-convert \"$picture\" >/dev/null\n"
    "else echo unrendered; fi\n";

TEST(Pictures, EachIsWellFormedAndRenders) {
    int pictures = 0;
    bool rendered = true;
    for (const auto &file :
         std::filesystem::directory_iterator(std::filesystem::path(kSource) / "doc")) {
        if (file.path().extension() != ".svg") {
            continue;
        }
        ++pictures;
        const std::string name = "doc/" + file.path().filename().string();
        std::string script = "set -e\npicture=" + name + "\n";
        script += kCheckPicture;
        const Outcome r = run(Sink::Pipe, {.shell = script});
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.exit_code(), 0) << name;
        rendered = rendered && r.out.empty();
    }
    EXPECT_GE(pictures, 2);
    if (!rendered) {
        GTEST_SKIP() << "well-formed; rsvg-convert is not installed to render them";
    }
}

} // namespace
