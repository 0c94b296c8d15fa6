#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The first and the last sizeof(T) bytes of n (sizeof(T) <= n <= 2 * sizeof(T)): two loads
// and two stores that overlap in the middle cover every byte.
template <typename T>
inline void KxCopyEnds(char* pTo, const char* pFrom, size_t n) {
    T a, b;
    std::memcpy(&a, pFrom, sizeof(T));
    std::memcpy(&b, pFrom + n - sizeof(T), sizeof(T));
    std::memcpy(pTo, &a, sizeof(T));
    std::memcpy(pTo + n - sizeof(T), &b, sizeof(T));
}

// Copies n bytes that do not overlap. Texts a script makes are mostly a few bytes (the
// fields of a line, the lines of a text), which the system's memcpy moves after a call and
// a dispatch on the size: up to 64 are moved here in pieces of 16, 8 or 4 bytes, the last
// piece ending at the last byte (overlapping the one before it).
inline void KxCopyBytes(char* pTo, const char* pFrom, size_t n) {
    if (n > 64) {
        std::memcpy(pTo, pFrom, n);
    } else if (n >= 16) {
        for (size_t i = 0; i + 16 < n; i += 16) std::memcpy(pTo + i, pFrom + i, 16);
        std::memcpy(pTo + n - 16, pFrom + n - 16, 16);
    } else if (n >= 8) {
        KxCopyEnds<uint64_t>(pTo, pFrom, n);
    } else if (n >= 4) {
        KxCopyEnds<uint32_t>(pTo, pFrom, n);
    } else if (n) {
        pTo[0] = pFrom[0];
        pTo[n / 2] = pFrom[n / 2];
        pTo[n - 1] = pFrom[n - 1];
    }
}
