// What the documentation tests read of a document: its sections, in order, each with its prose
// and the commands of its code blocks, and, for a manual page, its examples; and a transcript's
// text with the numbers of its own run put as placeholders.

#pragma once

#include <string>
#include <vector>

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

// A README or an experiments file (.md), or a manual page.
Document read(const std::string &file);
Document manual(const std::string &file);

// The text with its own address and process identifiers read back and put as placeholders;
// by shape, with every address, number and run of blanks alike.
std::string generalized(std::string text, bool by_shape);
