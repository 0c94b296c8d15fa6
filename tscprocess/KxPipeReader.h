#pragma once
// One output stream of a started program, read to its end by a thread of its own: the
// program never waits on a full pipe, whatever the script does meanwhile. What arrives is kept
// until the script takes it, line by line or as a whole.
#include <windows.h>

#include "KxString.h"

class KxPipeReader {
public:
    KxPipeReader() = default;
    KxPipeReader(const KxPipeReader&) = delete;
    KxPipeReader& operator=(const KxPipeReader&) = delete;
    ~KxPipeReader() { Release(); }

    // Reads hReadEnd from now on; the reader owns the handle, also when it fails (false: no
    // memory or no thread), and then the stream counts as ended and empty.
    bool Start(HANDLE hReadEnd);
    // The next line, without its LF and a CR before that; after the last line end, the rest as
    // a last line. Waits for it; false once the stream has ended and everything was taken.
    bool NextLine(KxString* psLine);
    // What arrived and was not yet taken, as it came.
    KxString Unread();
    // Signalled once the stream has ended (its thread is done); null when it never started.
    HANDLE EndEvent() const { return hThread; }
    // Lets go of the stream: its thread stops (also while another process still holds the
    // pipe's write end) and frees what it holds.
    void Release();

    struct Shared;

private:
    Shared* pShared = nullptr;
    HANDLE hThread = nullptr;
};
