// Multibyte string routines of the C run-time, single-byte code page: every byte is one character,
// letter case is that of the ASCII letters.
#pragma once

#include <cstddef>

#define _NLSCMPERROR 2147483647

// Exact comparison: <0, 0, >0. _NLSCMPERROR when either string is NULL.
int _mbscmp(const unsigned char* string1, const unsigned char* string2);
// Comparison ignoring letter case: <0, 0, >0. _NLSCMPERROR when either string is NULL.
int _mbsicmp(const unsigned char* string1, const unsigned char* string2);
// First occurrence of strSearch in str (case-sensitive), or NULL; str itself for an empty strSearch.
unsigned char* _mbsstr(const unsigned char* str, const unsigned char* strSearch);
