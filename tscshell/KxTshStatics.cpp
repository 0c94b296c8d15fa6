// The five classes' statics, built in this order when a binary holding all of them loads
// (the plug-in library, and the test that reads the class reference against every class).
#include "KxTshDirectory.h"
#include "KxTshFile.h"
#include "KxTshShell.h"
#include "KxTshTask.h"
#include "KxTshTimer.h"

KXTSH_DEFINE_STATICS(KxTshDirectory, "Directory");
KXTSH_DEFINE_STATICS(KxTshFile, "File");
KXTSH_DEFINE_STATICS(KxTshShell, "Shell");
KXTSH_DEFINE_STATICS(KxTshTask, "Task");
KXTSH_DEFINE_STATICS(KxTshTimer, "Timer");
