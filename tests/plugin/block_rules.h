#pragma once
// What a reader of 4,096-byte blocks keeps of bytes, the rule both File's line reading and
// Exec's capture follow: each block is cut on its own; a CR LF in it is a line end, kept as
// CR LF; other CRs are dropped; a NUL drops the rest of its piece, which ends at a CR, or at an
// LF too when LFs end lines (File). An LF is kept.
#include <string>

inline std::string KeptOfBlocks(const std::string& sBytes, bool bLfEndsLine) {
    std::string sKept;
    for (size_t at = 0; at < sBytes.size(); at += 4096) {
        std::string sBlock = sBytes.substr(at, 4096);
        bool bDropping = false;
        for (size_t i = 0; i < sBlock.size(); ++i) {
            char c = sBlock[i];
            if (c == '\r' || (c == '\n' && bLfEndsLine)) {
                bDropping = false;
                if (c == '\n' || (i + 1 < sBlock.size() && sBlock[i + 1] == '\n')) sKept += c == '\n' ? "\n" : "\r\n";
                i += c == '\r' && i + 1 < sBlock.size() && sBlock[i + 1] == '\n';
            } else if (c == 0 || bDropping) {
                bDropping = true;
            } else {
                sKept += c;
            }
        }
    }
    return sKept;
}

// Pseudo-random numbers below n, the same in every run.
inline unsigned Random(unsigned n) {
    static unsigned nSeed = 11;
    nSeed = nSeed * 1103515245u + 12345u;
    return (nSeed >> 16) % n;
}
