// Shared helpers for the provider's test programs.
#pragma once

#include "entry_points.h"
#include "handles.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

// Restores the real platform functions when it goes out of scope, so each test starts clean.
class ScopedPlatform {
public:
    ScopedPlatform() : saved_(g_platform) {}
    ~ScopedPlatform() { g_platform = saved_; }
    ScopedPlatform(const ScopedPlatform &) = delete;
    ScopedPlatform &operator=(const ScopedPlatform &) = delete;

private:
    PlatformApi saved_;
};

// The built provider DLL, loaded by path as the router would load it.
class LoadedProvider {
public:
    LoadedProvider();
    ~LoadedProvider();
    LoadedProvider(const LoadedProvider &) = delete;
    LoadedProvider &operator=(const LoadedProvider &) = delete;

    HMODULE module() const { return module_; }
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table() const { return table_; }

private:
    HMODULE module_ = nullptr;
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table_ = nullptr;
};

std::string Narrow(const std::wstring &text);

// True in a 32-bit process on a machine whose kernel hands 32-bit code to qemu-user: there Wine threads
// that start at the same moment crash the emulator itself (threads started one at a time then run side
// by side), so cases that start their threads back to back take turns or step aside.
bool Emulated32BitThreads();

// Ends a case that this machine cannot check: it passes, and the reason is printed and recorded in the
// report as the case's "not_checked" property, which the test runner lists at the end of the run.
// Not GTEST_SKIP: reporting a skip crashes 32-bit test processes under qemu-i386.
void NoteNotChecked(const std::string &reason);
#define KSP_NOT_CHECKED(text)             \
    do {                                  \
        std::ostringstream reason_;       \
        reason_ << text;                  \
        NoteNotChecked(reason_.str());    \
        return;                           \
    } while (0)

// In the test programs that link the provider's objects, the trace log is pointed at memory: the
// first LogMessage of the process "opens" a fake file and every line written lands here. Entries are
// the messages without the "[time] " prefix and the line feed.
std::vector<std::string> CapturedLogLines();
// Whole lines as written, prefix and line feed included.
std::vector<std::string> CapturedRawLogLines();
void ClearCapturedLog();
