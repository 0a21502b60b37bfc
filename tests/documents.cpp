#include "documents.hpp"

#include "harness.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string_view>
#include <utility>

namespace {

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

// Each whole word of the text that is `value`, not one inside a longer number: a process ID
// can be the digits of a time.
void replace_word(std::string &text, const std::string &value, const std::string &key) {
    const auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (auto at = text.find(value); at != std::string::npos; at = text.find(value, at)) {
        const auto end = at + value.size();
        if ((at > 0 && word(text[at - 1])) || (end < text.size() && word(text[end]))) {
            at = end;
            continue;
        }
        text.replace(at, value.size(), key);
        at += key.size();
    }
}

} // namespace

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
            // A heading of two words may be quoted, as po4a writes the Korean ones.
            const auto heading = rest.size() > 1 && rest.front() == '"' && rest.back() == '"'
                                     ? rest.substr(1, rest.size() - 2)
                                     : rest;
            const auto korean = kKorean.find(heading);
            d.sections.push_back({.key = macro + (macro == ".SS"            ? ""
                                                  : korean == kKorean.end() ? heading
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
            replace_word(text, value, key);
        }
    }
    if (by_shape) {
        text = std::regex_replace(text, std::regex("0x[0-9a-f]+|[0-9a-f]{9,}"), "{addr}");
        text = std::regex_replace(text, std::regex("[0-9]+"), "{n}");
        text = std::regex_replace(text, std::regex("[ \t]+"), " ");
        replace_all(text, "\n ", "\n"); // columns padded to the width of this run's numbers
        // A timeline's lane shows a process running (|) or blocked (:) as this run found it: on
        // a busy machine the parent may reach waitpid only after the child's first step.
        std::ranges::replace(text, ':', '|');
    }
    return text;
}
