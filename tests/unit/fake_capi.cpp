#include "fake_capi.h"

#include <algorithm>
#include <cstring>

namespace capi_fake {

FakeCapiState fakeCapi;

namespace {

constexpr HCRYPTPROV kContext = 0x1001;
constexpr HCRYPTKEY kKey = 0x2002;
constexpr HCRYPTHASH kHash = 0x3003;
void *trackedWork = nullptr;

// Records the call; true when the script makes it fail, with its last error set.
bool Fails(const char *name) {
    fakeCapi.calls.emplace_back(name);
    if (fakeCapi.failCall == name) {
        RealPlatform().SetLastError(fakeCapi.failError);
        return true;
    }
    return false;
}

// Releases are recorded with the handle they were given, so a wrong one shows in the call list.
// They also clobber the last error, as real releases may, to prove the status was taken before.
void RecordRelease(const char *name, bool rightHandle) {
    fakeCapi.calls.push_back(rightHandle ? name : std::string(name) + "(wrong handle)");
    RealPlatform().SetLastError(ERROR_SUCCESS);
}

DWORD SizeOf(ALG_ID algorithm) {
    switch (algorithm) {
    case CALG_SHA_512:
        return 64;
    case CALG_SHA_384:
        return 48;
    case CALG_SHA_256:
        return 32;
    case CALG_SHA1:
        return 20;
    default:
        return 0;
    }
}

BOOL WINAPI Acquire(HCRYPTPROV *context, LPCWSTR container, LPCWSTR provider, DWORD type, DWORD flags) {
    fakeCapi.container = container != nullptr ? container : L"(null)";
    fakeCapi.providerName = provider != nullptr ? provider : L"(null)";
    fakeCapi.providerType = type;
    fakeCapi.acquireFlags = flags;
    if (Fails("Acquire")) {
        *context = 0xBAD;  // a failing provider may leave junk behind
        return FALSE;
    }
    *context = kContext;
    return TRUE;
}

BOOL WINAPI Release(HCRYPTPROV context, DWORD flags) {
    RecordRelease("ReleaseContext", context == kContext && flags == 0);
    return TRUE;
}

BOOL WINAPI GetUserKey(HCRYPTPROV context, DWORD keySpec, HCRYPTKEY *key) {
    fakeCapi.keySpec = keySpec;
    if (Fails("GetUserKey") || context != kContext) {
        *key = 0xBAD;
        return FALSE;
    }
    *key = kKey;
    return TRUE;
}

BOOL WINAPI GetKeyParam(HCRYPTKEY key, DWORD param, BYTE *data, DWORD *length, DWORD) {
    if (Fails("GetKeyParam") || key != kKey || param != KP_BLOCKLEN || *length != sizeof(DWORD)) {
        return FALSE;
    }
    std::memcpy(data, &fakeCapi.blockBits, sizeof(DWORD));
    return TRUE;
}

BOOL WINAPI DestroyKey(HCRYPTKEY key) {
    RecordRelease("DestroyKey", key == kKey);
    return TRUE;
}

BOOL WINAPI CreateHash(HCRYPTPROV context, ALG_ID algorithm, HCRYPTKEY, DWORD, HCRYPTHASH *hash) {
    fakeCapi.hashAlgorithm = algorithm;
    if (Fails("CreateHash") || context != kContext) {
        *hash = 0xBAD;
        return FALSE;
    }
    *hash = kHash;
    return TRUE;
}

BOOL WINAPI GetHashParam(HCRYPTHASH hash, DWORD param, BYTE *data, DWORD *length, DWORD) {
    if (Fails("GetHashParam") || hash != kHash || param != HP_HASHSIZE || *length != sizeof(DWORD)) {
        return FALSE;
    }
    const DWORD size = fakeCapi.hashSize != 0 ? fakeCapi.hashSize : SizeOf(fakeCapi.hashAlgorithm);
    std::memcpy(data, &size, sizeof(size));
    *length = fakeCapi.hashSizeLength;
    return TRUE;
}

BOOL WINAPI SetHashParam(HCRYPTHASH hash, DWORD param, const BYTE *data, DWORD) {
    if (Fails("SetHashParam") || hash != kHash || param != HP_HASHVAL) {
        return FALSE;
    }
    const DWORD size = fakeCapi.hashSize != 0 ? fakeCapi.hashSize : SizeOf(fakeCapi.hashAlgorithm);
    fakeCapi.hashValue.assign(data, data + size);
    return TRUE;
}

// Writes the scripted output and reports its length (or the scripted one).
void Produce(BYTE *buffer, DWORD *length) {
    fakeCapi.lengthOnEntry = *length;
    std::copy(fakeCapi.output.begin(), fakeCapi.output.end(), buffer);
    *length = fakeCapi.reportedLength != 0 ? fakeCapi.reportedLength : static_cast<DWORD>(fakeCapi.output.size());
}

BOOL WINAPI SignHashW(HCRYPTHASH hash, DWORD keySpec, LPCWSTR description, DWORD flags, BYTE *signature,
                      DWORD *length) {
    fakeCapi.signKeySpec = keySpec;
    fakeCapi.signFlags = flags;
    if (Fails("SignHash") || hash != kHash || description != nullptr || signature != trackedWork) {
        return FALSE;
    }
    Produce(signature, length);
    return TRUE;
}

BOOL WINAPI DestroyHash(HCRYPTHASH hash) {
    RecordRelease("DestroyHash", hash == kHash);
    return TRUE;
}

BOOL WINAPI DecryptBlock(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE *data, DWORD *length) {
    fakeCapi.decryptFlags = flags;
    fakeCapi.decryptInput.assign(data, data + *length);
    if (Fails("Decrypt") || key != kKey || hash != 0 || !final || data != trackedWork) {
        return FALSE;
    }
    Produce(data, length);
    return TRUE;
}

// Only the block of one key length is the work buffer; log lines allocate smaller blocks.
LPVOID WINAPI WatchAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    if (size == fakeCapi.blockBits / 8 && trackedWork == nullptr) {
        if (Fails("HeapAlloc")) {
            return nullptr;
        }
        trackedWork = RealPlatform().HeapAlloc(heap, flags, size);
        fakeCapi.workSize = size;
        // Stale bytes, so that a missing wipe shows.
        std::memset(trackedWork, 0xA5, size);
        return trackedWork;
    }
    return RealPlatform().HeapAlloc(heap, flags, size);
}

BOOL WINAPI WatchFree(HANDLE heap, DWORD flags, LPVOID block) {
    if (block != nullptr && block == trackedWork) {
        fakeCapi.calls.emplace_back("HeapFree");
        const BYTE *bytes = static_cast<const BYTE *>(block);
        fakeCapi.workFreed = true;
        fakeCapi.workZeroAtFree = std::all_of(bytes, bytes + fakeCapi.workSize, [](BYTE b) { return b == 0; });
        trackedWork = nullptr;
    }
    return RealPlatform().HeapFree(heap, flags, block);
}

}  // namespace

FakeCapiScope::FakeCapiScope() {
    fakeCapi = FakeCapiState{};
    trackedWork = nullptr;
    g_platform.CryptAcquireContextW = Acquire;
    g_platform.CryptReleaseContext = Release;
    g_platform.CryptGetUserKey = GetUserKey;
    g_platform.CryptGetKeyParam = GetKeyParam;
    g_platform.CryptDestroyKey = DestroyKey;
    g_platform.CryptCreateHash = CreateHash;
    g_platform.CryptGetHashParam = GetHashParam;
    g_platform.CryptSetHashParam = SetHashParam;
    g_platform.CryptSignHashW = SignHashW;
    g_platform.CryptDestroyHash = DestroyHash;
    g_platform.CryptDecrypt = DecryptBlock;
    g_platform.HeapAlloc = WatchAlloc;
    g_platform.HeapFree = WatchFree;
    ClearCapturedLog();
}

FakeCapiScope::~FakeCapiScope() { trackedWork = nullptr; }

TestHandles::TestHandles() {
    EXPECT_EQ(ERROR_SUCCESS, OpenProvider(&provider, L"Fake CSP", 0));
    EXPECT_EQ(ERROR_SUCCESS, OpenKey(provider, &key, L"fake-container", 0, 0));
}

TestHandles::~TestHandles() {
    if (key != 0) {
        FreeKey(provider, key);
    }
    if (provider != 0) {
        FreeProvider(provider);
    }
}

std::vector<std::string> CallsWith(std::initializer_list<const char *> names) {
    return std::vector<std::string>(names.begin(), names.end());
}

std::string LastLogLine() {
    const std::vector<std::string> lines = CapturedLogLines();
    return lines.empty() ? std::string() : lines.back();
}

}  // namespace capi_fake
