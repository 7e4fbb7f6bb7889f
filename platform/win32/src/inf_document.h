// The parsed form of an INF file and the parser that builds it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "windows.h"

namespace win32host::inf {

// A piece of a key or field: literal text, or a %strkey% reference resolved when the value is read.
struct Piece {
    bool reference = false;
    std::string text;  // the literal text, or the key between the percent signs
};
using Value = std::vector<Piece>;

struct Line {
    bool hasKey = false;
    Value key;
    std::vector<Value> fields;
    unsigned sourceLine = 0;  // 1-based line of the file where the line starts
};

// All sections of one name (letter case ignored), merged in file order.
struct Section {
    std::string name;  // as first written
    std::vector<Line> lines;
};

class Document {
public:
    // Parses decoded 8-bit text. Returns ERROR_SUCCESS, or a syntax error with *errorLine set.
    DWORD Parse(const std::string& text, unsigned* errorLine);

    // Index of a section, or -1.
    long FindSection(const std::string& name) const;
    const std::vector<Section>& Sections() const { return sections_; }

    // The text of a key or field with %strkey% references replaced.
    std::string Resolve(const Value& value) const;

    // The folder the numeric %dirid% references lead to, by their published numbers.
    void SetDirectoryIds(std::map<std::string, std::string> dirids) { dirids_ = std::move(dirids); }

private:
    std::vector<Section> sections_;
    std::map<std::string, size_t> index_;            // upper-cased name -> section
    mutable std::map<std::string, std::string> strings_;  // upper-cased key -> text
    mutable bool stringsBuilt_ = false;
    std::map<std::string, std::string> dirids_;

    void BuildStrings() const;
};

// Turns the file's bytes into 8-bit text: UTF-16LE/BE and UTF-8 files (recognised by their
// byte-order mark) are converted, characters outside the 8-bit range becoming '?'; other files
// are taken as they are. The text ends at the first NUL character.
std::string DecodeText(const std::string& bytes);

}  // namespace win32host::inf
