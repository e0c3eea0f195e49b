// The operating-system calls that tests replace: the process heap, CryptoAPI, bcrypt and the trace
// log's folder, file, module name and clock. It holds the real functions; test programs that link the
// provider's objects directly may replace members to reach failure paths that the real platform cannot
// be made to produce. Formatting, text conversion, string lengths, wiping and the slim locks are called
// directly, not through it.
#pragma once

#include "win.h"

#include <cstddef>

struct PlatformApi {
    // Process heap
    decltype(&::GetProcessHeap) GetProcessHeap;
    decltype(&::HeapAlloc) HeapAlloc;
    decltype(&::HeapFree) HeapFree;
    decltype(&::GetLastError) GetLastError;
    decltype(&::SetLastError) SetLastError;

    // CryptoAPI
    decltype(&::CryptAcquireContextW) CryptAcquireContextW;
    decltype(&::CryptReleaseContext) CryptReleaseContext;
    decltype(&::CryptGetUserKey) CryptGetUserKey;
    decltype(&::CryptGetKeyParam) CryptGetKeyParam;
    decltype(&::CryptDestroyKey) CryptDestroyKey;
    decltype(&::CryptCreateHash) CryptCreateHash;
    decltype(&::CryptGetHashParam) CryptGetHashParam;
    decltype(&::CryptSetHashParam) CryptSetHashParam;
    decltype(&::CryptSignHashW) CryptSignHashW;
    decltype(&::CryptDestroyHash) CryptDestroyHash;
    decltype(&::CryptDecrypt) CryptDecrypt;

    // CNG primitives
    decltype(&::BCryptOpenAlgorithmProvider) BCryptOpenAlgorithmProvider;
    decltype(&::BCryptGetProperty) BCryptGetProperty;
    decltype(&::BCryptCloseAlgorithmProvider) BCryptCloseAlgorithmProvider;

    // Trace log: folder lookup, paths and the file
    decltype(&::SHGetSpecialFolderPathW) SHGetSpecialFolderPathW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::PathCombineW) PathCombineW;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::WriteFile) WriteFile;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::GetLocalTime) GetLocalTime;
};

extern PlatformApi g_platform;

// The real functions; tests restore the seam from it.
const PlatformApi &RealPlatform();

// Blocks from the process heap, flags 0: the allocator behind handles, names and returned buffers.
void *HeapAllocate(std::size_t size);
void HeapRelease(void *block);

// Owns one process-heap block; frees it on every way out of a scope.
class HeapBlock {
public:
    HeapBlock() = default;
    explicit HeapBlock(std::size_t size) : block_(HeapAllocate(size)) {}
    ~HeapBlock() { HeapRelease(block_); }
    HeapBlock(const HeapBlock &) = delete;
    HeapBlock &operator=(const HeapBlock &) = delete;

    void *get() const { return block_; }
    BYTE *bytes() const { return static_cast<BYTE *>(block_); }
    explicit operator bool() const { return block_ != nullptr; }
    // Replaces the owned block with a new one of the given size, freeing the old one.
    void reset(std::size_t size) {
        HeapRelease(block_);
        block_ = HeapAllocate(size);
    }
    void *release() {
        void *b = block_;
        block_ = nullptr;
        return b;
    }

private:
    void *block_ = nullptr;
};

// Holds a slim reader/writer lock exclusively for a scope. The slim lock needs no allocation and
// cannot fail, so taking it never throws; with tryOnly it is taken only if it is free at once.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK &lock, bool tryOnly = false) : lock_(&lock), owned_(Take(lock, tryOnly)) {}
    ~ExclusiveLock() {
        if (owned_) {
            ReleaseSRWLockExclusive(lock_);
        }
    }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;

    bool owns() const { return owned_; }

private:
    static bool Take(SRWLOCK &lock, bool tryOnly) {
        if (tryOnly) {
            return TryAcquireSRWLockExclusive(&lock) != FALSE;
        }
        AcquireSRWLockExclusive(&lock);
        return true;
    }

    SRWLOCK *lock_;
    bool owned_;
};
