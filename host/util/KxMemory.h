#pragma once
#include "KxUtilApi.h"

// Memory the host libraries could not have. No C++ exception may leave a host library: on the
// 32-bit target each module carries its own unwinder, which knows only its own frames, so an
// exception thrown in one module and meant for a catch in another (a plug-in's) ends the
// process. So memory that cannot be had is noted here instead, by whoever cannot tell its own
// caller: a new object is served from a reserve (KxHeap.cpp) and noted; a string that cannot
// grow is left as it was and says so (Reserve, Length), and a library that then hands on a
// text or an entry made short notes it. The runtime takes the note at its next step and
// raises its "out of memory" error in the script, so that nothing made short or left out
// passes unseen.
KXUTIL_API void KxNoteMemoryShort();
// Whether memory ran short since the last call; the note is cleared.
KXUTIL_API bool KxTakeMemoryShort();
