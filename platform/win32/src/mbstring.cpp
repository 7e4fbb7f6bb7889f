// Multibyte string routines for a single-byte code page.
#include "mbstring.h"

#include <cerrno>
#include <cstring>

namespace {

unsigned char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

}  // namespace

int _mbscmp(const unsigned char* string1, const unsigned char* string2) {
    if (string1 == nullptr || string2 == nullptr) {
        errno = EINVAL;
        return _NLSCMPERROR;
    }
    while (*string1 != 0 && *string1 == *string2) {
        ++string1;
        ++string2;
    }
    return *string1 == *string2 ? 0 : (*string1 < *string2 ? -1 : 1);
}

int _mbsicmp(const unsigned char* string1, const unsigned char* string2) {
    if (string1 == nullptr || string2 == nullptr) {
        errno = EINVAL;
        return _NLSCMPERROR;
    }
    while (*string1 != 0 && Lower(*string1) == Lower(*string2)) {
        ++string1;
        ++string2;
    }
    const unsigned char a = Lower(*string1), b = Lower(*string2);
    return a == b ? 0 : (a < b ? -1 : 1);
}

unsigned char* _mbsstr(const unsigned char* str, const unsigned char* strSearch) {
    if (str == nullptr || strSearch == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const char* hit = std::strstr(reinterpret_cast<const char*>(str), reinterpret_cast<const char*>(strSearch));
    return reinterpret_cast<unsigned char*>(const_cast<char*>(hit));
}
