// Fakes for the handle tests: a process heap that counts live blocks and can refuse one size, and a
// bcrypt whose "RSA" provider is a counted token.
#pragma once

#include "test_support.h"

#include "handles.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace handles_test {

// Blocks that went through the seam and are still allocated.
class HeapLedger {
public:
    static HeapLedger &Instance() {
        static HeapLedger ledger;
        return ledger;
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.clear();
        refusedSize_ = 0;
        refusals_ = 0;
    }
    // The next allocations of exactly this size fail; 0 refuses nothing.
    void RefuseSize(std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        refusedSize_ = size;
    }
    std::size_t Live() {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.size();
    }
    bool IsLive(const void *block) {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.count(block) != 0;
    }
    int Refusals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return refusals_;
    }

    static LPVOID WINAPI Alloc(HANDLE heap, DWORD flags, SIZE_T size) {
        HeapLedger &self = Instance();
        {
            std::lock_guard<std::mutex> lock(self.mutex_);
            if (self.refusedSize_ != 0 && size == self.refusedSize_) {
                ++self.refusals_;
                return nullptr;
            }
        }
        LPVOID block = RealPlatform().HeapAlloc(heap, flags, size);
        if (block != nullptr) {
            std::lock_guard<std::mutex> lock(self.mutex_);
            self.live_.insert(block);
        }
        return block;
    }

    static BOOL WINAPI Free(HANDLE heap, DWORD flags, LPVOID block) {
        HeapLedger &self = Instance();
        {
            std::lock_guard<std::mutex> lock(self.mutex_);
            if (self.live_.erase(block) == 0) {
                ++self.strayFrees_;
            }
            if (self.inspector_) {
                self.inspector_(block);
            }
            if (self.keepFreed_) {
                self.kept_.insert(block);
                return TRUE;
            }
        }
        return RealPlatform().HeapFree(heap, flags, block);
    }

    // While on, freed blocks stay readable (as a freed block often is), so that a stale handle can be
    // passed back safely; switching it off returns them to the heap.
    void KeepFreedBlocks(bool keep) {
        std::lock_guard<std::mutex> lock(mutex_);
        keepFreed_ = keep;
        if (!keep) {
            for (const void *block : kept_) {
                RealPlatform().HeapFree(RealPlatform().GetProcessHeap(), 0, const_cast<void *>(block));
            }
            kept_.clear();
        }
    }

    // Called with each block just before it goes back to the heap.
    void InspectFrees(void (*inspector)(const void *)) {
        std::lock_guard<std::mutex> lock(mutex_);
        inspector_ = inspector;
    }
    int StrayFrees() {
        std::lock_guard<std::mutex> lock(mutex_);
        return strayFrees_;
    }

private:
    std::mutex mutex_;
    std::set<const void *> live_;
    std::size_t refusedSize_ = 0;
    int refusals_ = 0;
    int strayFrees_ = 0;
    void (*inspector_)(const void *) = nullptr;
    bool keepFreed_ = false;
    std::set<const void *> kept_;
};

// Stands in for the system's "RSA" provider; every successful open hands out a new token.
struct FakeBcrypt {
    static FakeBcrypt &Instance() {
        static FakeBcrypt fake;
        return fake;
    }
    void Reset() {
        openCalls = 0;
        closeCalls = 0;
        getPropertyCalls = 0;
        openStatus = STATUS_SUCCESS;
        openDelayMs = 0;
        lastClosed = nullptr;
        nextToken = 0x5EED0;
    }

    static NTSTATUS WINAPI Open(BCRYPT_ALG_HANDLE *handle, LPCWSTR algorithm, LPCWSTR implementation, ULONG flags) {
        FakeBcrypt &self = Instance();
        ++self.openCalls;
        if (self.openDelayMs != 0) {
            Sleep(self.openDelayMs);
        }
        if (algorithm == nullptr || std::wstring(algorithm) != L"RSA" || implementation != nullptr || flags != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        const NTSTATUS status = self.openStatus;
        // A failed open leaves junk behind, so that a provider keeping it would show.
        *handle = reinterpret_cast<BCRYPT_ALG_HANDLE>(status >= 0 ? self.nextToken.fetch_add(0x10) : 0xBAD0);
        return status;
    }
    static NTSTATUS WINAPI Close(BCRYPT_ALG_HANDLE handle, ULONG) {
        FakeBcrypt &self = Instance();
        ++self.closeCalls;
        self.lastClosed = handle;
        return STATUS_SUCCESS;
    }
    static NTSTATUS WINAPI GetProperty(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG *, ULONG) {
        ++Instance().getPropertyCalls;
        return STATUS_NOT_SUPPORTED;
    }

    std::atomic<int> openCalls{0};
    std::atomic<int> closeCalls{0};
    std::atomic<int> getPropertyCalls{0};
    std::atomic<NTSTATUS> openStatus{STATUS_SUCCESS};
    std::atomic<DWORD> openDelayMs{0};
    std::atomic<BCRYPT_ALG_HANDLE> lastClosed{nullptr};
    std::atomic<std::uintptr_t> nextToken{0x5EED0};
};

// Each test starts with the shared "RSA" handle closed, the heap counted and bcrypt faked; whatever a
// test opened is closed through the fake before the real platform comes back.
class HandlesTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseRsaAlgorithmHandle();
        HeapLedger::Instance().Reset();
        HeapLedger::Instance().InspectFrees(nullptr);
        FakeBcrypt::Instance().Reset();
        g_platform.HeapAlloc = HeapLedger::Alloc;
        g_platform.HeapFree = HeapLedger::Free;
        g_platform.BCryptOpenAlgorithmProvider = FakeBcrypt::Open;
        g_platform.BCryptCloseAlgorithmProvider = FakeBcrypt::Close;
        g_platform.BCryptGetProperty = FakeBcrypt::GetProperty;
        ClearCapturedLog();
    }
    void TearDown() override {
        CloseRsaAlgorithmHandle();
        HeapLedger::Instance().InspectFrees(nullptr);
        HeapLedger::Instance().KeepFreedBlocks(false);
    }

    NCRYPT_PROV_HANDLE OpenTestProvider(const wchar_t *name = L"Quorv CSP") {
        NCRYPT_PROV_HANDLE provider = 0;
        EXPECT_EQ(ERROR_SUCCESS, OpenProvider(&provider, name, 0));
        return provider;
    }
    NCRYPT_KEY_HANDLE OpenTestKey(NCRYPT_PROV_HANDLE provider, const wchar_t *name = L"container") {
        NCRYPT_KEY_HANDLE key = 0;
        EXPECT_EQ(ERROR_SUCCESS, OpenKey(provider, &key, name, 0, 0));
        return key;
    }

private:
    ScopedPlatform platform_;
};

inline KeyObject *AsKey(NCRYPT_KEY_HANDLE handle) { return reinterpret_cast<KeyObject *>(handle); }
inline ProviderObject *AsProvider(NCRYPT_PROV_HANDLE handle) { return reinterpret_cast<ProviderObject *>(handle); }

// The blob size ImportKey accepts in this build, written out rather than taken from the provider.
constexpr DWORD kExpectedBlobSize = sizeof(void *) == 8 ? 24 : 12;

inline std::vector<BYTE> MakeBlob(DWORD size, std::uint32_t declared, BYTE filler = 0xA5) {
    std::vector<BYTE> blob(size, filler);
    if (size >= sizeof(declared)) {
        std::memcpy(blob.data(), &declared, sizeof(declared));
    }
    return blob;
}

inline const wchar_t kBlobType[] = L"QUORVKSPFMT";

}  // namespace handles_test
