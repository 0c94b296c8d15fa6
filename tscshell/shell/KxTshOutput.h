#pragma once
#include "KxTshClass.h"

// How a started program's captured output is cut into segments for delivery: each CR LF ends
// a line (delivered with bLineEnd true), a lone CR or a chunk's end ends a segment without a
// line end (the CR is dropped), and an LF without CR is text. Each chunk is cut on its own, so
// a CR LF split by a chunk boundary gives a segment without line end and a next chunk that
// starts with the LF. pChunk needs one spare byte after its nCount bytes: segments are closed
// in place with a NUL, so a NUL in the output also ends its segment's text.
// sSegment is the caller's, so that its memory serves every segment of every chunk. A segment
// the memory cannot hold ends the cut with std::bad_alloc.
template <class Deliver>
void KxCutOutputChunk(char* pChunk, unsigned nCount, KxString& sSegment, Deliver deliver) {
    char* p = pChunk;
    char* pEnd = pChunk + nCount;
    while (p < pEnd) {
        char* pCr = p;
        while (pCr < pEnd && *pCr != '\r') ++pCr;
        if (pCr == pEnd) {
            *pEnd = 0;
            sSegment = "";
            KxTsh::Append(sSegment, p);
            deliver(sSegment, false);
            return;
        }
        *pCr = 0;
        bool bLineEnd = pCr + 1 < pEnd && pCr[1] == '\n';
        sSegment = "";
        KxTsh::Append(sSegment, p);
        deliver(sSegment, bLineEnd);
        p = pCr + (bLineEnd ? 2 : 1);
    }
}
