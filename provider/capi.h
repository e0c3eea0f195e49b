// Owners for the CryptoAPI objects of one signing or decryption call. Each releases through the
// platform seam and ignores the result; a caller declares them so that C++ destroys them in the
// order the objects must go: hash, key, context.
#pragma once

#include "platform.h"

#include <cstddef>

template <typename Handle, typename Traits>
class CapiHandle {
public:
    CapiHandle() = default;
    ~CapiHandle() {
        if (handle_ != 0) {
            Traits::Release(handle_);
        }
    }
    CapiHandle(const CapiHandle &) = delete;
    CapiHandle &operator=(const CapiHandle &) = delete;

    // Takes ownership of a handle that CAPI reported as successfully obtained.
    void adopt(Handle handle) { handle_ = handle; }
    Handle get() const { return handle_; }

private:
    Handle handle_ = 0;
};

struct CapiContextTraits {
    static void Release(HCRYPTPROV handle) { g_platform.CryptReleaseContext(handle, 0); }
};
struct CapiKeyTraits {
    static void Release(HCRYPTKEY handle) { g_platform.CryptDestroyKey(handle); }
};
struct CapiHashTraits {
    static void Release(HCRYPTHASH handle) { g_platform.CryptDestroyHash(handle); }
};

using CapiContext = CapiHandle<HCRYPTPROV, CapiContextTraits>;
using CapiKey = CapiHandle<HCRYPTKEY, CapiKeyTraits>;
using CapiHash = CapiHandle<HCRYPTHASH, CapiHashTraits>;

// A process-heap block that may hold secrets: zero-filled, all of it, before it is freed, in a way
// the compiler cannot drop as a dead store.
class WipedHeapBlock {
public:
    WipedHeapBlock() = default;
    ~WipedHeapBlock() {
        if (block_.get() != nullptr) {
            SecureZeroMemory(block_.get(), size_);
        }
    }
    WipedHeapBlock(const WipedHeapBlock &) = delete;
    WipedHeapBlock &operator=(const WipedHeapBlock &) = delete;

    // Allocates once; false when the heap refuses.
    bool allocate(std::size_t size) {
        block_.reset(size);
        size_ = block_ ? size : 0;
        return static_cast<bool>(block_);
    }
    BYTE *bytes() const { return block_.bytes(); }

private:
    HeapBlock block_;  // freed after the destructor body has wiped it
    std::size_t size_ = 0;
};

// The key's KP_BLOCKLEN in bits. The value starts at 0 and its length at 4; the length CAPI hands
// back is not looked at.
inline bool ReadKeyBlockBits(HCRYPTKEY key, DWORD *bits) {
    *bits = 0;
    DWORD length = sizeof(*bits);
    return g_platform.CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE *>(bits), &length, 0) != FALSE;
}

// The status for a failed signature or decryption: CAPI's own error, passed on as it stands. A CAPI
// provider that fails without setting one must still not make the call read as a success.
inline SECURITY_STATUS CapiOperationFailure(DWORD lastError) {
    return lastError != ERROR_SUCCESS ? static_cast<SECURITY_STATUS>(lastError) : NTE_PROVIDER_DLL_FAIL;
}
