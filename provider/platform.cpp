#include "platform.h"

namespace {

const PlatformApi kRealPlatform = {
    ::GetProcessHeap,
    ::HeapAlloc,
    ::HeapFree,
    ::GetLastError,
    ::SetLastError,
    ::CryptAcquireContextW,
    ::CryptReleaseContext,
    ::CryptGetUserKey,
    ::CryptGetKeyParam,
    ::CryptDestroyKey,
    ::CryptCreateHash,
    ::CryptGetHashParam,
    ::CryptSetHashParam,
    ::CryptSignHashW,
    ::CryptDestroyHash,
    ::CryptDecrypt,
    ::BCryptOpenAlgorithmProvider,
    ::BCryptGetProperty,
    ::BCryptCloseAlgorithmProvider,
    ::SHGetSpecialFolderPathW,
    ::GetFileAttributesW,
    ::PathCombineW,
    ::CreateFileW,
    ::WriteFile,
    ::FlushFileBuffers,
    ::CloseHandle,
    ::GetModuleFileNameW,
    ::GetLocalTime,
};

}  // namespace

PlatformApi g_platform = kRealPlatform;

const PlatformApi &RealPlatform() { return kRealPlatform; }

void *HeapAllocate(std::size_t size) { return g_platform.HeapAlloc(g_platform.GetProcessHeap(), 0, size); }

void HeapRelease(void *block) {
    if (block != nullptr) {
        g_platform.HeapFree(g_platform.GetProcessHeap(), 0, block);
    }
}
