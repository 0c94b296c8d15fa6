// The open-file state of a File: one handle, one 4,097-byte buffer, and the line reading and
// writing through it.
#include <cstdint>
#include <cstring>
#include <memory>

#include "KxTshFile.h"

void KxTshFile::SetClosed() {
    sFileName = "";
    pbBuffer = pbCursor = nullptr;
    dwCount = 0;
    hFile = nullptr;
    dwState = FS_CLOSED;
}

bool KxTshFile::OpenFile(const KxString& sName, unsigned dwMode, KxString& sErrorText) {
    sErrorText = "";
    sFileName = KxTsh::Join(sName);
    // The buffer comes first: opening for writing empties the file at once. Not cleared:
    // only bytes that were read or written are ever looked at.
    std::unique_ptr<unsigned char[]> pbNew(new unsigned char[kBufferSize]);
    struct ModeOpen {
        unsigned dwMode;
        DWORD dwAccess, dwDisposition;
        const char* pszFailure;
    };
    static const ModeOpen kOpens[] = {
        {FS_READ, GENERIC_READ, OPEN_EXISTING, " for reading"},
        {FS_WRITE, GENERIC_WRITE, CREATE_ALWAYS, " for writing"},
        {FS_APPEND, GENERIC_WRITE, OPEN_ALWAYS, " for appending"},
    };
    const ModeOpen* pOpen = nullptr;
    for (const ModeOpen& m : kOpens)
        if (dwMode & m.dwMode) {
            pOpen = &m;
            break;
        }
    if (!pOpen) {
        sErrorText = "Invalid mode for opening file";
        return false;
    }
    // A name the system cannot take whole, or that holds a wildcard, fails as a name it
    // refuses, without a call.
    hFile = KxTsh::PathTakes(sName)
                ? CreateFileA(sName, pOpen->dwAccess, FILE_SHARE_READ, nullptr, pOpen->dwDisposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)
                : INVALID_HANDLE_VALUE;
    if (hFile != INVALID_HANDLE_VALUE && pOpen->dwMode == FS_APPEND) SetFilePointer(hFile, 0, nullptr, FILE_END);
    if (hFile == INVALID_HANDLE_VALUE) {
        sErrorText = KxTsh::Join("Cannot open ", sName, pOpen->pszFailure);
        return false;
    }
    pbBuffer = pbNew.release();
    pbCursor = pbBuffer;
    dwState = dwMode | FS_OPEN;
    dwCount = 0;
    return true;
}

namespace {

// The first LF, CR or NUL in [p, pEnd), or pEnd. Eight bytes are tested at a time: a byte
// equal to c makes (v ^ c...) hold a zero byte, which the usual zero-byte test finds.
unsigned char* FindLineByte(unsigned char* p, unsigned char* pEnd) {
    const uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    while (pEnd - p >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        uint64_t vLf = v ^ (kOnes * '\n'), vCr = v ^ (kOnes * '\r');
        if (((v - kOnes) & ~v) & kHighs) break;
        if (((vLf - kOnes) & ~vLf) & kHighs) break;
        if (((vCr - kOnes) & ~vCr) & kHighs) break;
        p += 8;
    }
    while (p < pEnd && *p != '\n' && *p != '\r' && *p != 0) ++p;
    return p;
}

}  // namespace

bool KxTshFile::ReadLine(KxString& sLine) {
    sLine = "";
    if (!IsReadable()) return false;
    for (;;) {
        if (dwCount == 0) {
            DWORD dwRead = 0;
            if (!ReadFile(hFile, pbBuffer, kReadBlock, &dwRead, nullptr) || dwRead == 0) return false;
            dwCount = dwRead;
            pbCursor = pbBuffer;
        }
        unsigned char* pbStart = pbCursor;
        // Pieces are taken as zero-ended text: a NUL in the data ends its piece there, though
        // the scan for the line end goes on past it.
        unsigned char* pbPieceEnd = nullptr;
        if (*pbCursor != '\r') {
            unsigned char* pbEnd = pbCursor + dwCount;
            unsigned char* p = pbCursor;
            while ((p = FindLineByte(p, pbEnd)) < pbEnd && *p == 0) {
                if (!pbPieceEnd) pbPieceEnd = p;
                ++p;
            }
            dwCount -= static_cast<unsigned>(p - pbCursor);
            pbCursor = p;
        }
        if (!pbPieceEnd) pbPieceEnd = pbCursor;
        unsigned nStep;
        if (dwCount > 0 && *pbCursor == '\n') {
            nStep = 1;
        } else if (dwCount >= 2 && pbCursor[0] == '\r' && pbCursor[1] == '\n') {
            nStep = 2;
        } else {
            // A lone CR, a CR ending the block, or the block's end: the line goes on. After a
            // full block the zero lands in the buffer's spare 4,097th byte.
            nStep = 0;
        }
        *pbCursor = 0;
        // A line the memory cannot hold is not handed on cut short.
        KxTsh::Append(sLine, reinterpret_cast<const char*>(pbStart), static_cast<unsigned>(pbPieceEnd - pbStart));
        if (nStep) {
            pbCursor += nStep;
            dwCount -= nStep;
            return true;
        }
        if (dwCount > 0) {
            ++pbCursor;
            --dwCount;
        }
    }
}

bool KxTshFile::WriteText(const KxString& sText, bool bLineEnd) {
    if (!IsWritable()) return true;
    const char* pSource = sText;
    unsigned n = sText.Length();
    if (n > kTextRoom - dwCount) FlushBuffer();
    for (;;) {
        unsigned nFree = kTextRoom - dwCount;
        bool bLast = n <= nFree;
        unsigned nPiece = bLast ? n : nFree;
        if (nPiece) std::memcpy(pbCursor, pSource, nPiece);
        pbCursor += nPiece;
        pSource += nPiece;
        dwCount += nPiece;
        n -= nPiece;
        if (bLast) break;
        FlushBuffer();
    }
    if (bLineEnd) {
        pbCursor[0] = '\r';
        pbCursor[1] = '\n';
        dwCount += 2;
        FlushBuffer();
    }
    return true;
}

// A failed or short write is not reported: the bytes are dropped, as callers expect of a
// buffer that is always left empty.
void KxTshFile::FlushBuffer() {
    if (!IsWritable() || dwCount == 0) return;
    DWORD dwWritten = 0;
    WriteFile(hFile, pbBuffer, dwCount, &dwWritten, nullptr);
    pbCursor = pbBuffer;
    dwCount = 0;
}

void KxTshFile::CloseFile() {
    FlushBuffer();
    if (!(dwState & FS_OPEN)) return;
    CloseHandle(hFile);
    delete[] pbBuffer;
    SetClosed();
}
