// A scripted CryptoAPI behind the platform seam for the signing and decryption tests: it records every
// call in order, fails the one it is told to, and watches the work buffer from allocation to free.
#pragma once

#include "test_support.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace capi_fake {

struct FakeCapiState {
    // Script
    std::string failCall;              // name of the call that fails, as recorded below; empty: none
    DWORD failError = NTE_BAD_KEYSET;  // last error the failing call leaves
    DWORD blockBits = 2048;
    DWORD hashSize = 0;  // 0: the size that belongs to the algorithm asked for
    DWORD hashSizeLength = sizeof(DWORD);
    std::vector<BYTE> output;   // what CryptSignHashW / CryptDecrypt write at the buffer's start
    DWORD reportedLength = 0;   // 0: output.size()

    // Observations
    std::vector<std::string> calls;  // "Acquire", "GetUserKey", ..., "HeapFree"
    std::wstring container;
    std::wstring providerName;
    DWORD providerType = 0;
    DWORD acquireFlags = 0xFFFFFFFF;
    DWORD keySpec = 0;
    ALG_ID hashAlgorithm = 0;
    std::vector<BYTE> hashValue;
    DWORD signKeySpec = 0;
    DWORD signFlags = 0xFFFFFFFF;
    DWORD decryptFlags = 0xFFFFFFFF;
    std::vector<BYTE> decryptInput;  // the work buffer as CryptDecrypt received it
    DWORD lengthOnEntry = 0;         // the signature or plaintext length CAPI was handed
    bool workFreed = false;
    bool workZeroAtFree = false;
    std::size_t workSize = 0;
};

extern FakeCapiState fakeCapi;

// Installs the fake CAPI and work-buffer heap watch for one scope, with a fresh state.
class FakeCapiScope {
public:
    FakeCapiScope();
    ~FakeCapiScope();
    FakeCapiScope(const FakeCapiScope &) = delete;
    FakeCapiScope &operator=(const FakeCapiScope &) = delete;

private:
    ScopedPlatform platform_;
};

// A provider handle and an opened key made through the real entry points, freed at the end.
class TestHandles {
public:
    TestHandles();
    ~TestHandles();
    TestHandles(const TestHandles &) = delete;
    TestHandles &operator=(const TestHandles &) = delete;

    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE key = 0;
    KeyObject *record() const { return reinterpret_cast<KeyObject *>(key); }
};

// Last errors a failing CryptSignHashW or CryptDecrypt may leave, with the status the caller must get:
// CAPI's own error as it stands, but never success.
inline const std::pair<DWORD, SECURITY_STATUS> kOperationFailures[] = {
    {ERROR_CANCELLED, static_cast<SECURITY_STATUS>(ERROR_CANCELLED)},
    {static_cast<DWORD>(NTE_BAD_DATA), NTE_BAD_DATA},
    {0x12345678, static_cast<SECURITY_STATUS>(0x12345678)},
    {ERROR_SUCCESS, NTE_PROVIDER_DLL_FAIL},
};

std::vector<std::string> CallsWith(std::initializer_list<const char *> names);
std::string LastLogLine();

}  // namespace capi_fake
