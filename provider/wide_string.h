// Helpers for the NUL-terminated UTF-16 strings that cross the provider boundary.
#pragma once

#include <cstddef>
#include <cstdint>

// Exact, case-sensitive match up to and including the NUL; reads nothing past the first difference.
inline bool SameWideString(const wchar_t *given, const wchar_t *expected) {
    for (;; ++given, ++expected) {
        if (*given != *expected) {
            return false;
        }
        if (*given == L'\0') {
            return true;
        }
    }
}

// Byte size of the string with its NUL, computed without overflow.
inline std::uint64_t WideStringBytes(const wchar_t *text) {
    std::uint64_t units = 0;
    while (text[units] != L'\0') {
        ++units;
    }
    return (units + 1) * sizeof(wchar_t);
}

// True when the string has more than maxUnits code units before its NUL; reads at most maxUnits + 1.
inline bool WideStringLongerThan(const wchar_t *text, std::size_t maxUnits) {
    for (std::size_t i = 0; i <= maxUnits; ++i) {
        if (text[i] == L'\0') {
            return false;
        }
    }
    return true;
}
