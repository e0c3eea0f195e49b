// Every call the installer makes into the operating system goes through this table, so that tests
// can reach each path (failed copies, refused registrations, no WOW64) without touching a machine.
#pragma once

#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <bcrypt.h>
#include <ncrypt.h>
#include <shlwapi.h>

// MinGW-w64 declares the registration records but not these four calls.
extern "C" {
NTSTATUS WINAPI BCryptRegisterProvider(LPCWSTR pszProvider, ULONG dwFlags, PCRYPT_PROVIDER_REG pReg);
NTSTATUS WINAPI BCryptUnregisterProvider(LPCWSTR pszProvider);
NTSTATUS WINAPI BCryptAddContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface,
                                                 LPCWSTR pszFunction, LPCWSTR pszProvider, ULONG dwPosition);
NTSTATUS WINAPI BCryptRemoveContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface,
                                                    LPCWSTR pszFunction, LPCWSTR pszProvider);
}

struct InstallerApi {
    decltype(&::MessageBoxW) MessageBoxW;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::PathRemoveFileSpecW) PathRemoveFileSpecW;
    decltype(&::PathCombineW) PathCombineW;
    decltype(&::CopyFileW) CopyFileW;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::GetCurrentProcess) GetCurrentProcess;
    decltype(&::IsWow64Process) IsWow64Process;
    decltype(&::GetLastError) GetLastError;

    decltype(&::BCryptRegisterProvider) BCryptRegisterProvider;
    decltype(&::BCryptUnregisterProvider) BCryptUnregisterProvider;
    decltype(&::BCryptAddContextFunction) BCryptAddContextFunction;
    decltype(&::BCryptAddContextFunctionProvider) BCryptAddContextFunctionProvider;
    decltype(&::BCryptRemoveContextFunctionProvider) BCryptRemoveContextFunctionProvider;

    // Standard output: byte lines through the narrow formatted print, wide lines through the wide one.
    int (*PrintBytes)(const char *format, ...);
    int (*PrintWide)(const wchar_t *format, ...);
};

extern InstallerApi g_installer;

// The real functions; tests restore the seam from it.
const InstallerApi &RealInstallerApi();
