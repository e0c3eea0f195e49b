// Optional trace log: one UTF-8 line per event in %LOCALAPPDATA%\QuorvKSP\trace.txt, written only
// when that folder already exists at the process's first message.
#pragma once

#include "win.h"

#include <atomic>

// Formats with wvsprintfW ("%s" wide string, "%d" 32-bit integer), cuts at 1023 units, appends one
// line when logging is on. Leaves the caller's last Win32 error as it found it.
void LogMessage(const wchar_t *format, ...);

// True only for the one call of the process that opened the file.
bool OpenLogOnce();

// Appends "[time] text\n" and flushes. Caller holds logMutex and has seen loggingOn set.
void WriteLogLine(const char *text);

bool IsMissingOrDirectory(const wchar_t *path);

// Its static instance writes the last line and closes the file when the DLL is unloaded.
class Holder {
public:
    virtual ~Holder();
};

// Guards the opening attempt, logFileHandle and every line written. A slim lock: it cannot fail.
extern SRWLOCK logMutex;
extern std::atomic<int> logOpenAttempted;
extern int loggingOn;
extern HANDLE logFileHandle;

// Set at process detach when the process is ending (not on FreeLibrary). The platform has already
// ended every other thread by then, possibly inside logMutex, so from here on no line waits for it:
// a line whose lock is not free at once is dropped.
extern std::atomic<bool> processTerminating;
