#include "system_support.h"

#include <cstdio>

const wchar_t kCapiAliasName[] = L"Quorv CSP";
const wchar_t kCapiSecondAliasName[] = L"Vandrel RSA Full Provider 1.2";

namespace {

constexpr DWORD kKeyBits = 2048;

// CAPI context and key owners: release in the reverse order of acquisition on every return.
class CapiContext {
public:
    CapiContext(const wchar_t *providerName, const wchar_t *container, DWORD flags = 0) {
        if (!CryptAcquireContextW(&handle_, container, providerName, PROV_RSA_FULL, flags)) {
            error_ = GetLastError();
            handle_ = 0;
        }
    }
    ~CapiContext() {
        if (handle_ != 0) {
            CryptReleaseContext(handle_, 0);
        }
    }
    CapiContext(const CapiContext &) = delete;
    CapiContext &operator=(const CapiContext &) = delete;
    HCRYPTPROV get() const { return handle_; }
    DWORD error() const { return error_; }

private:
    HCRYPTPROV handle_ = 0;
    DWORD error_ = 0;
};

class CapiKey {
public:
    CapiKey() = default;
    ~CapiKey() {
        if (handle_ != 0) {
            CryptDestroyKey(handle_);
        }
    }
    CapiKey(const CapiKey &) = delete;
    CapiKey &operator=(const CapiKey &) = delete;
    HCRYPTKEY *put() { return &handle_; }
    HCRYPTKEY get() const { return handle_; }

private:
    HCRYPTKEY handle_ = 0;
};

BCRYPT_ALG_HANDLE RsaAlgorithm() {
    // Opened once and kept: heap measurements start after it exists.
    static BCRYPT_ALG_HANDLE alg = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        return BCryptOpenAlgorithmProvider(&h, BCRYPT_RSA_ALGORITHM, nullptr, 0) == 0 ? h : nullptr;
    }();
    return alg;
}

}  // namespace

ProviderModule::ProviderModule(const wchar_t *nameOrPath) {
    module_ = LoadLibraryW(nameOrPath);
    if (module_ == nullptr) {
        loadError_ = GetLastError();
        return;
    }
    auto entry = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(module_, "GetKeyStorageInterface")));
    if (entry == nullptr || entry(kCapiAliasName, &table_, 0) != ERROR_SUCCESS) {
        loadError_ = ERROR_PROC_NOT_FOUND;
        table_ = nullptr;
    }
}

ProviderModule::~ProviderModule() { Unload(); }

void ProviderModule::Unload() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
        module_ = nullptr;
        table_ = nullptr;
    }
}

LONG RegisterRsaenhAlias(const wchar_t *name) {
    const std::wstring path = std::wstring(L"Software\\Microsoft\\Cryptography\\Defaults\\Provider\\") + name;
    const wchar_t image[] = L"rsaenh.dll";
    const DWORD type = PROV_RSA_FULL;
    const DWORD sigInFile = 0;
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key,
                                  nullptr);
        if (rc != ERROR_SUCCESS) {
            return rc;
        }
        rc = RegSetValueExW(key, L"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE *>(image), sizeof(image));
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExW(key, L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&type), sizeof(type));
        }
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExW(key, L"SigInFile", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&sigInFile),
                                sizeof(sigInFile));
        }
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) {
            return rc;
        }
    }
    return ERROR_SUCCESS;
}

DWORD EnsureContainer(const wchar_t *providerName, const wchar_t *container) {
    CapiContext existing(providerName, container);
    if (existing.get() == 0 && existing.error() != static_cast<DWORD>(NTE_BAD_KEYSET)) {
        return existing.error();
    }
    const CapiContext created(providerName, container, existing.get() == 0 ? CRYPT_NEWKEYSET : 0);
    const CapiContext &context = existing.get() != 0 ? existing : created;
    if (context.get() == 0) {
        return context.error();
    }
    for (DWORD keySpec : {static_cast<DWORD>(AT_SIGNATURE), static_cast<DWORD>(AT_KEYEXCHANGE)}) {
        CapiKey key;
        if (CryptGetUserKey(context.get(), keySpec, key.put())) {
            continue;
        }
        if (!CryptGenKey(context.get(), keySpec, kKeyBits << 16, key.put())) {
            return GetLastError();
        }
    }
    return ERROR_SUCCESS;
}

BCRYPT_KEY_HANDLE ImportPublicKey(const wchar_t *providerName, const wchar_t *container, DWORD keySpec) {
    const CapiContext context(providerName, container);
    CapiKey key;
    if (context.get() == 0 || !CryptGetUserKey(context.get(), keySpec, key.put())) {
        return nullptr;
    }
    DWORD size = 0;
    if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
        return nullptr;
    }
    Bytes blob(size);
    if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &size)) {
        return nullptr;
    }
    // PUBLICKEYBLOB: BLOBHEADER, RSAPUBKEY, modulus least significant byte first.
    const auto *rsa = reinterpret_cast<const RSAPUBKEY *>(blob.data() + sizeof(BLOBHEADER));
    const std::uint8_t *modulus = blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    const DWORD modulusBytes = rsa->bitlen / 8;
    Bytes exponent;
    for (DWORD e = rsa->pubexp; e != 0; e >>= 8) {
        exponent.insert(exponent.begin(), static_cast<std::uint8_t>(e & 0xFF));
    }
    Bytes cng(sizeof(BCRYPT_RSAKEY_BLOB));
    auto *header = reinterpret_cast<BCRYPT_RSAKEY_BLOB *>(cng.data());
    header->Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header->BitLength = rsa->bitlen;
    header->cbPublicExp = static_cast<ULONG>(exponent.size());
    header->cbModulus = modulusBytes;
    header->cbPrime1 = 0;
    header->cbPrime2 = 0;
    cng.insert(cng.end(), exponent.begin(), exponent.end());
    for (DWORD i = 0; i < modulusBytes; ++i) {
        cng.push_back(modulus[modulusBytes - 1 - i]);
    }
    BCRYPT_KEY_HANDLE result = nullptr;
    if (BCryptImportKeyPair(RsaAlgorithm(), nullptr, BCRYPT_RSAPUBLIC_BLOB, &result, cng.data(),
                            static_cast<ULONG>(cng.size()), 0) != 0) {
        return nullptr;
    }
    return result;
}

bool CapiEncrypt(const wchar_t *providerName, const wchar_t *container, const Bytes &plain, Bytes *cipher) {
    const CapiContext context(providerName, container);
    CapiKey key;
    if (context.get() == 0 || !CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.put())) {
        return false;
    }
    DWORD blockBits = 0;
    DWORD length = sizeof(blockBits);
    if (!CryptGetKeyParam(key.get(), KP_BLOCKLEN, reinterpret_cast<BYTE *>(&blockBits), &length, 0)) {
        return false;
    }
    Bytes buffer(blockBits / 8);
    std::copy(plain.begin(), plain.end(), buffer.begin());
    DWORD dataLength = static_cast<DWORD>(plain.size());
    if (!CryptEncrypt(key.get(), 0, TRUE, 0, buffer.data(), &dataLength, static_cast<DWORD>(buffer.size()))) {
        return false;
    }
    cipher->assign(buffer.rbegin(), buffer.rend());
    return true;
}

Bytes Sha1(const Bytes &data) {
    Bytes digest(20);
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr, 0) != 0) {
        return {};
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    ok = ok && BCryptHashData(hash, const_cast<PUCHAR>(data.data()), static_cast<ULONG>(data.size()), 0) == 0;
    ok = ok && BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok ? digest : Bytes{};
}

bool VerifySha1Signature(BCRYPT_KEY_HANDLE key, const Bytes &hash, const Bytes &signature) {
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA1_ALGORITHM};
    return BCryptVerifySignature(key, &padding, const_cast<PUCHAR>(hash.data()), static_cast<ULONG>(hash.size()),
                                 const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()),
                                 BCRYPT_PAD_PKCS1) == 0;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

std::size_t LiveProcessHeapBlocks() {
    const HANDLE heap = GetProcessHeap();
    std::size_t live = 0;
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
            ++live;
        }
    }
    HeapUnlock(heap);
    return live;
}

std::wstring TraceFolder() {
    wchar_t base[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, base, CSIDL_LOCAL_APPDATA, FALSE);
    return std::wstring(base) + L"\\QuorvKSP";
}

std::wstring TraceFile() { return TraceFolder() + L"\\trace.txt"; }
