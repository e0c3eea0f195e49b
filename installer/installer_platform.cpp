#include "installer_platform.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

// Flushed at once so that each line is on the console before a message box that follows it.
int PrintBytesToStdout(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    return written;
}

int PrintWideToStdout(const wchar_t *format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vwprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    return written;
}

const InstallerApi kRealInstallerApi = {
    ::MessageBoxW,
    ::GetModuleFileNameW,
    ::PathRemoveFileSpecW,
    ::PathCombineW,
    ::CopyFileW,
    ::DeleteFileW,
    ::GetCurrentProcess,
    ::IsWow64Process,
    ::GetLastError,
    ::BCryptRegisterProvider,
    ::BCryptUnregisterProvider,
    ::BCryptAddContextFunction,
    ::BCryptAddContextFunctionProvider,
    ::BCryptRemoveContextFunctionProvider,
    PrintBytesToStdout,
    PrintWideToStdout,
};

}  // namespace

InstallerApi g_installer = kRealInstallerApi;

const InstallerApi &RealInstallerApi() { return kRealInstallerApi; }
