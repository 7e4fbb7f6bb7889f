// Helpers for INF reader tests: open an INF written into the scratch machine and read fields.
#pragma once

#include <optional>
#include <string>

#include "machine.h"
#include "setupapi.h"

namespace win32test {

inline const char kWin4Header[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";

class InfMachine : public Machine {
protected:
    void TearDown() override {
        if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
        Machine::TearDown();
    }

    // Writes C:\WINDOWS\inf\test.inf and opens it as a Windows 4 INF.
    HINF Open(const std::string& bytes, DWORD style = INF_STYLE_WIN4) {
        if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
        WriteFile("WINDOWS/inf/test.inf", bytes);
        inf_ = SetupOpenInfFileA("C:\\WINDOWS\\inf\\test.inf", NULL, style, &errorLine_);
        return inf_;
    }

    // Field of the index-th line of a section, or nothing when the line or field is missing.
    std::optional<std::string> Field(const char* section, unsigned index, DWORD field) {
        INFCONTEXT ctx;
        if (!SetupFindFirstLineA(inf_, section, NULL, &ctx)) return std::nullopt;
        for (unsigned i = 0; i < index; ++i)
            if (!SetupFindNextLine(&ctx, &ctx)) return std::nullopt;
        DWORD required = 0;
        if (!SetupGetStringFieldA(&ctx, field, NULL, 0, &required)) return std::nullopt;
        std::string text(required, '\0');
        if (!SetupGetStringFieldA(&ctx, field, text.data(), required, NULL)) return std::nullopt;
        text.resize(required - 1);
        return text;
    }

    // The field has the expected text, or (expected == nullptr) does not exist.
    void ExpectField(const char* section, unsigned index, DWORD field, const char* expected) {
        const auto value = Field(section, index, field);
        if (expected == nullptr) {
            EXPECT_FALSE(value.has_value()) << *value;
        } else {
            ASSERT_TRUE(value.has_value());
            EXPECT_EQ(*value, expected);
        }
    }

    LONG Lines(const char* section) { return SetupGetLineCountA(inf_, section); }

    HINF inf_ = INVALID_HANDLE_VALUE;
    UINT errorLine_ = 0;
};

}  // namespace win32test
