// The translations kept whole and up to date: every message of the commands and every paragraph
// of the manual pages translated and none fuzzy, the templates what the code and the English
// pages give now, and the Korean pages what po4a makes of them; and a language added by its
// catalog alone.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The source's po/, man/ and tools/ copied to the scratch folder, to work on there.
constexpr const char *kCopy = "src=" PDTEST_SOURCE_DIR "\n"
                              "rm tools && cp -r \"$src/tools\" \"$src/po\" \"$src/man\" .\n"
                              "cp \"$src/CMakeLists.txt\" .\n";

// Prints what is not whole or not up to date, one line each; nothing when all is.
constexpr const char *kCheck = R"sh(
for po in po/*.po po/man/*.po; do
    stats=$(msgfmt --check --statistics -o /dev/null "$po" 2>&1) || echo "$po: $stats"
    case $stats in *fuzzy* | *untranslated*) echo "$po: $stats" ;; esac
done
sh po/update-pot now.pot
diff -q po/pdtest.pot now.pot >/dev/null || echo "po/pdtest.pot: not what po/update-pot makes of the code now"
for po in po/*.po; do
    msgcmp "$po" po/pdtest.pot 2>/dev/null || echo "$po: a message of the code is not in it"
done
mkdir made && cp -r man po made/ && rm -r made/man/ko
(cd made && po4a po/po4a.cfg >/dev/null 2>&1) || echo "po4a failed"
for page in man/ko/*.1; do
    cmp -s "$page" "made/$page" || echo "$page: not what po4a makes of man/${page#man/ko/} and po/man/"
done
for file in po/man/pdtest-man.pot po/man/ko.po; do
    diff -q -I '^"POT-Creation-Date: ' "$file" "made/$file" >/dev/null ||
        echo "$file: not up to date with the English pages"
done
)sh";

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

// As the tree is, and then with a message of the code, a paragraph of an English page and a
// Korean translation each changed alone: each change is named, and nothing else.
TEST(Catalogs, AreWholeAndUpToDateAndSayWhatIsNot) {
    const Outcome r =
        run(Sink::Pipe,
            {.shell = std::string(kCopy) + kCheck + "echo ===\n" +
                      "sed -i 's/Right\\./Right!/' tools/pdtest_lab/session.py\n"
                      "sed -i 's/demonstrates process duplication/shows process duplication/' "
                      "man/pdTest.1\n"
                      "sed -i '0,/^msgstr \"맞았습니다.\"/s//msgstr \"\"/' po/ko.po\n"
                      "rm -r made now.pot\n" +
                      kCheck});
    const auto out = lines_of(r.out);
    ASSERT_FALSE(out.empty()) << r.err;
    EXPECT_EQ(out.front(), "===") << "the tree's translations:\n" << r.out;
    const std::vector<std::string> changed(out.begin() + 1, out.end());
    const auto says = [&](const std::string &what) {
        return std::ranges::any_of(
            changed, [&](const std::string &line) { return line.find(what) != std::string::npos; });
    };
    EXPECT_TRUE(says("po/ko.po: ")) << r.out;
    EXPECT_TRUE(says("untranslated")) << r.out;
    EXPECT_TRUE(says("po/pdtest.pot: not what po/update-pot makes")) << r.out;
    EXPECT_TRUE(says("man/ko/pdTest.1: not what po4a makes")) << r.out;
    EXPECT_TRUE(says("po/man/pdtest-man.pot: not up to date")) << r.out;
    EXPECT_FALSE(says("man/ko/pdTest-lab.1")) << r.out;
}

// A third language is its catalog: one message translated, the rest in English.
TEST(Catalogs, ALanguageIsAddedByItsCatalogAlone) {
    const Outcome r =
        run(Sink::Pipe, {.shell = std::string(kCopy) +
                                  "mkdir -p build/locale/eo/LC_MESSAGES\n"
                                  "cat > eo.po <<'PO'\n"
                                  "msgid \"\"\n"
                                  "msgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n"
                                  "\n"
                                  "msgid \"seconds\"\n"
                                  "msgstr \"sekundoj\"\n"
                                  "PO\n"
                                  "msgfmt --check -o build/locale/eo/LC_MESSAGES/pdtest.mo "
                                  "eo.po 2>/dev/null\n"
                                  "tools/pdTest-timeline --lang eo --pipe | sed -n '4p'\n"
                                  "tools/pdTest-timeline --lang xx --pipe; echo \"status $?\"\n"});
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 2U) << r.out << r.err;
    EXPECT_EQ(out[0].substr(out[0].find_first_not_of(' ')), "sekundoj parent child");
    EXPECT_EQ(out[1], "status 2");
    EXPECT_TRUE(r.err.starts_with("tools/pdTest-timeline: --lang xx: no catalog")) << r.err;
}

} // namespace
