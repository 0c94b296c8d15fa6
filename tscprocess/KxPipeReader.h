#pragma once
// The two output streams of a started program, read to their ends by one thread: the program
// never waits on a full pipe, whatever the script does meanwhile. What arrives is kept until
// the script takes it, line by line or as a whole. On overlapped pipes the same thread writes
// what the script gives the program's input, so that a write can be called off at its time by
// the thread that made it, while the streams are still read.
#include <windows.h>

#include "KxPipe.h"
#include "KxString.h"

class KxPipeReader {
public:
    enum Stream { OUTPUT, ERRORS };

    KxPipeReader() = default;
    KxPipeReader(const KxPipeReader&) = delete;
    KxPipeReader& operator=(const KxPipeReader&) = delete;
    ~KxPipeReader() { Release(); }

    // Reads the two read ends (both opened for overlapped use, or both plain) from now on; the
    // reader owns the handles, also when it fails (false: no memory or no thread), and then
    // both streams count as ended and empty.
    bool Start(HANDLE hOutput, HANDLE hErrors, bool bOverlapped);
    // The next line of the stream, without its LF and a CR before that; after the last line
    // end, the rest as a last line. Waits for it up to dwMs (INFINITE: as long as it takes);
    // false when none came by then, or once the stream has ended and everything was taken.
    // NextLine and Unread throw std::bad_alloc, taking nothing, when a string cannot hold the
    // text whole; they and WaitFor throw it from then on for a stream that could not keep
    // what arrived (past its most, or past what memory gives): its text is no longer whole.
    bool NextLine(Stream stream, KxString* psLine, DWORD dwMs = INFINITE);
    // Everything that arrived and was not taken, line ends or none: waits up to dwMs for at
    // least a byte; false when none came by then, or once the stream has ended and
    // everything was taken.
    bool Take(Stream stream, KxString* psText, DWORD dwMs = INFINITE);
    // Waits up to dwMs until what arrived and was not taken holds the text, and takes
    // everything up to the end of its first match (true); false, taking nothing, at the time,
    // or at once when the stream has ended without it.
    bool WaitFor(Stream stream, const KxString& sText, DWORD dwMs);
    // Writes the whole text to the program's input (our end of it), waiting up to dwMs
    // (INFINITE: as long as it takes); false when the program ended its end, or did not take
    // the text whole in time (a part may have reached it). Once the reading thread is done, or
    // on plain pipes, the write is made from this thread (see KxPipe::Write).
    bool Write(const KxPipe& input, const char* pText, DWORD nText, DWORD dwMs);
    // Whether the stream has ended and nothing more can be taken from it: everything was
    // taken, or it was lost.
    bool Ended(Stream stream);
    // What arrived on the stream and was not yet taken, as it came.
    KxString Unread(Stream stream);
    // Signalled once both streams have ended (the thread is done); null when it never started.
    HANDLE EndEvent() const { return hThread; }
    // The most each stream of a later Start keeps untaken (at most, and by default, the
    // longest string); the tests make it small to reach a loss.
    static void HoldAtMost(size_t nBytes);
    // Lets go of the streams: the thread stops (also while another process still holds a
    // pipe's write end) and frees what it holds.
    void Release();

    struct Shared;

private:
    Shared* pShared = nullptr;
    HANDLE hThread = nullptr;
};
