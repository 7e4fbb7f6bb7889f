// INF parsing: the file's lines become sections of keyed lines with comma-separated fields.
//
// Rules applied to each logical line:
//   1. ';' outside double quotes starts a comment that runs to the end of the physical line.
//   2. A '\' outside quotes followed only by blanks or a comment joins the next physical line.
//   3. Double quotes make their contents literal (',', ';', '=', blanks); inside quotes a doubled
//      quote stands for one quote. A quote left open ends with the physical line.
//   4. The first '=' outside quotes ends the key; commas outside quotes separate fields.
//   5. Blanks around a key or field are trimmed unless quoted.
//   6. %name% is a string reference, resolved when the value is read; %% is one percent sign;
//      a lone '%' is kept.
#include "inf_document.h"

#include <cstdint>
#include <cstring>

#include "internal.h"
#include "setupapi.h"

namespace win32host::inf {

namespace {

using win32host::detail::UpperChar;

std::string Upper(const std::string& s) {
    std::string u = s;
    for (char& c : u) c = UpperChar(c);
    return u;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\x1a'; }

// A key or field while it is being read: runs of unquoted text, quoted text and references,
// so that only unquoted blanks at either end are trimmed.
struct Segment {
    enum Kind { kPlain, kQuoted, kReference } kind;
    std::string text;
};

class TokenBuilder {
public:
    void Add(char c, bool quoted) {
        const Segment::Kind kind = quoted ? Segment::kQuoted : Segment::kPlain;
        if (segments_.empty() || segments_.back().kind != kind) segments_.push_back({kind, std::string()});
        segments_.back().text += c;
    }
    void AddReference(const std::string& name) { segments_.push_back({Segment::kReference, name}); }

    Value Finish() {
        while (!segments_.empty() && segments_.front().kind == Segment::kPlain) {
            std::string& t = segments_.front().text;
            size_t n = 0;
            while (n < t.size() && IsBlank(t[n])) ++n;
            t.erase(0, n);
            if (!t.empty()) break;
            segments_.erase(segments_.begin());
        }
        while (!segments_.empty() && segments_.back().kind == Segment::kPlain) {
            std::string& t = segments_.back().text;
            while (!t.empty() && IsBlank(t.back())) t.pop_back();
            if (!t.empty()) break;
            segments_.pop_back();
        }
        Value value;
        for (Segment& s : segments_) {
            if (s.kind == Segment::kReference) {
                value.push_back({true, s.text});
            } else if (!value.empty() && !value.back().reference) {
                value.back().text += s.text;
            } else {
                value.push_back({false, s.text});
            }
        }
        segments_.clear();
        return value;
    }

private:
    std::vector<Segment> segments_;
};

// Handles a '%' at phys[i]; returns the index of the last character consumed.
size_t ReadPercent(const std::string& phys, size_t i, bool quoted, TokenBuilder* token) {
    if (i + 1 < phys.size() && phys[i + 1] == '%') {
        token->Add('%', quoted);
        return i + 1;
    }
    for (size_t j = i + 1; j < phys.size(); ++j) {
        const char c = phys[j];
        if (c == '%') {
            token->AddReference(phys.substr(i + 1, j - i - 1));
            return j;
        }
        if (c == '"' || c == ';' || c == ',' || c == '=' || c == '\\' || static_cast<unsigned char>(c) < 0x20) break;
    }
    token->Add('%', quoted);
    return i;
}

bool RestIsBlankOrComment(const std::string& phys, size_t from) {
    for (size_t k = from; k < phys.size(); ++k) {
        if (phys[k] == ';') return true;
        if (!IsBlank(phys[k])) return false;
    }
    return true;
}

std::string RenderRaw(const Value& value) {
    std::string out;
    for (const Piece& p : value) out += p.reference ? "%" + p.text + "%" : p.text;
    return out;
}

}  // namespace

DWORD Document::Parse(const std::string& text, unsigned* errorLine) {
    sections_.clear();
    index_.clear();
    strings_.clear();
    stringsBuilt_ = false;
    *errorLine = 0;

    long current = -1;
    size_t pos = 0;
    unsigned lineNo = 0;

    bool building = false;  // a logical line continues on the next physical line
    Line line;
    TokenBuilder token;
    std::vector<Value> fields;
    bool sawEquals = false;
    bool rhsContent = false;
    bool lineContent = false;

    while (pos < text.size() || building) {
        std::string phys;
        if (pos < text.size()) {
            size_t end = text.find_first_of("\r\n", pos);
            if (end == std::string::npos) end = text.size();
            phys = text.substr(pos, end - pos);
            pos = end;
            if (pos < text.size() && text[pos] == '\r') ++pos;
            if (pos < text.size() && text[pos] == '\n') ++pos;
        }
        ++lineNo;

        size_t i = 0;
        if (!building) {
            while (i < phys.size() && IsBlank(phys[i])) ++i;
            if (i == phys.size() || phys[i] == ';') continue;
            if (phys[i] == '[') {
                const size_t close = phys.find(']', i + 1);
                if (close == std::string::npos) {
                    *errorLine = lineNo;
                    return ERROR_BAD_SECTION_NAME_LINE;
                }
                std::string name = phys.substr(i + 1, close - i - 1);
                size_t b = 0;
                while (b < name.size() && IsBlank(name[b])) ++b;
                name.erase(0, b);
                while (!name.empty() && IsBlank(name.back())) name.pop_back();
                if (name.size() > 255) {
                    *errorLine = lineNo;
                    return ERROR_SECTION_NAME_TOO_LONG;
                }
                const std::string key = Upper(name);
                auto it = index_.find(key);
                if (it == index_.end()) {
                    it = index_.emplace(key, sections_.size()).first;
                    sections_.push_back(Section{name, {}});
                }
                current = static_cast<long>(it->second);
                continue;
            }
            building = true;
            line = Line();
            line.sourceLine = lineNo;
            fields.clear();
            sawEquals = false;
            rhsContent = false;
            lineContent = false;
        }

        bool inQuotes = false;
        bool continued = false;
        for (; i < phys.size(); ++i) {
            const char c = phys[i];
            if (inQuotes) {
                if (c == '"') {
                    if (i + 1 < phys.size() && phys[i + 1] == '"') {
                        token.Add('"', true);
                        ++i;
                    } else {
                        inQuotes = false;
                    }
                } else if (c == '%') {
                    i = ReadPercent(phys, i, true, &token);
                } else {
                    token.Add(c, true);
                }
                continue;
            }
            if (c == ';') break;
            if (!IsBlank(c)) {
                lineContent = true;
                if (sawEquals) rhsContent = true;
            }
            if (c == '"') {
                inQuotes = true;
            } else if (c == ',') {
                fields.push_back(token.Finish());
            } else if (c == '=' && !sawEquals) {
                line.hasKey = true;
                line.key = token.Finish();
                sawEquals = true;
            } else if (c == '\\' && RestIsBlankOrComment(phys, i + 1)) {
                continued = true;
                break;
            } else if (c == '%') {
                i = ReadPercent(phys, i, false, &token);
            } else {
                token.Add(c, false);
            }
        }
        if (continued && pos < text.size()) continue;

        building = false;
        Value last = token.Finish();
        if (!lineContent) continue;  // only a continuation mark
        if (!sawEquals || rhsContent) fields.push_back(std::move(last));
        line.fields = std::move(fields);
        fields = {};
        if (current < 0) {
            *errorLine = line.sourceLine;
            return ERROR_EXPECTED_SECTION_NAME;
        }
        sections_[static_cast<size_t>(current)].lines.push_back(std::move(line));
    }
    return ERROR_SUCCESS;
}

long Document::FindSection(const std::string& name) const {
    auto it = index_.find(Upper(name));
    return it == index_.end() ? -1 : static_cast<long>(it->second);
}

void Document::BuildStrings() const {
    if (stringsBuilt_) return;
    stringsBuilt_ = true;
    // The system's language (English, United States) first, then the neutral [Strings].
    for (const char* name : {"Strings.0409", "Strings"}) {
        const long s = FindSection(name);
        if (s < 0) continue;
        for (const Line& l : sections_[static_cast<size_t>(s)].lines) {
            if (!l.hasKey) continue;
            const std::string key = Upper(RenderRaw(l.key));
            if (strings_.count(key) != 0) continue;
            strings_[key] = l.fields.empty() ? std::string() : RenderRaw(l.fields[0]);
        }
    }
}

std::string Document::Resolve(const Value& value) const {
    std::string out;
    for (const Piece& p : value) {
        if (!p.reference) {
            out += p.text;
            continue;
        }
        BuildStrings();
        auto it = strings_.find(Upper(p.text));
        if (it != strings_.end()) {
            out += it->second;
            continue;
        }
        auto dir = dirids_.find(p.text);
        if (dir != dirids_.end()) {
            out += dir->second;
            continue;
        }
        out += "%" + p.text + "%";
    }
    return out;
}

namespace {

// Windows-1252 characters 0x80..0x9F by their Unicode code points.
char FromCodePoint(std::uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
    static const std::uint16_t k1252[32] = {0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
                                            0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};
    for (int i = 0; i < 32; ++i)
        if (k1252[i] != 0 && k1252[i] == cp) return static_cast<char>(0x80 + i);
    return '?';
}

}  // namespace

std::string DecodeText(const std::string& bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    std::string out;
    if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
        const bool little = b[0] == 0xFF;
        out.reserve(n / 2);
        for (size_t i = 2; i + 1 < n; i += 2) {
            const std::uint32_t unit = little ? (b[i] | (b[i + 1] << 8)) : ((b[i] << 8) | b[i + 1]);
            if (unit == 0) break;
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < n) {
                const std::uint32_t next = little ? (b[i + 2] | (b[i + 3] << 8)) : ((b[i + 2] << 8) | b[i + 3]);
                if (next >= 0xDC00 && next <= 0xDFFF) i += 2;  // a pair is one character
                out += '?';
                continue;
            }
            out += (unit >= 0xD800 && unit <= 0xDFFF) ? '?' : FromCodePoint(unit);
        }
        return out;
    }
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        out.reserve(n);
        size_t i = 3;
        while (i < n) {
            const unsigned char c = b[i];
            if (c == 0) break;
            int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
            if (extra < 0 || i + static_cast<size_t>(extra) >= n) {
                out += '?';
                ++i;
                continue;
            }
            std::uint32_t cp = extra == 0 ? c : (c & (0x3F >> extra));
            bool valid = true;
            for (int k = 1; k <= extra; ++k) {
                const unsigned char cc = b[i + static_cast<size_t>(k)];
                if ((cc & 0xC0) != 0x80) {
                    valid = false;
                    break;
                }
                cp = (cp << 6) | (cc & 0x3F);
            }
            if (!valid) {
                out += '?';
                ++i;
                continue;
            }
            out += FromCodePoint(cp);
            i += static_cast<size_t>(extra) + 1;
        }
        return out;
    }
    const void* nul = std::memchr(bytes.data(), '\0', n);
    return nul == nullptr ? bytes : bytes.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - bytes.data()));
}

}  // namespace win32host::inf
