// SignHash: a PKCS #1 v1.5 signature over a hash the caller computed, made by the CAPI provider the
// provider handle was opened under, with the signature key of the container the key handle names.
#include "capi.h"
#include "entry_points.h"
#include "handles.h"
#include "platform.h"
#include "trace_log.h"
#include "wide_string.h"

namespace {

constexpr DWORD kSignAllowedFlags = NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_PSS_FLAG | NCRYPT_SILENT_FLAG;

struct HashAlgorithm {
    const wchar_t *name;
    ALG_ID algorithm;
    DWORD size;
};

// Searched in this order; names match exactly, case included.
const HashAlgorithm kHashAlgorithms[] = {
    {L"SHA512", CALG_SHA_512, 64},
    {L"SHA384", CALG_SHA_384, 48},
    {L"SHA256", CALG_SHA_256, 32},
    {L"SHA1", CALG_SHA1, 20},
};

const HashAlgorithm *FindHashAlgorithm(const void *paddingInfo) {
    if (paddingInfo == nullptr) {
        return nullptr;
    }
    const wchar_t *name = static_cast<const BCRYPT_PKCS1_PADDING_INFO *>(paddingInfo)->pszAlgId;
    if (name == nullptr) {
        return nullptr;
    }
    for (const HashAlgorithm &row : kHashAlgorithms) {
        if (SameWideString(name, row.name)) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

SECURITY_STATUS WINAPI SignHash(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID *pPaddingInfo,
                                PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                DWORD *pcbResult, DWORD dwFlags) {
    LogMessage(L"Received a signing request");
    const ProviderObject *provider = ValidateProviderHandle(hProvider);
    if (provider == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    const KeyObject *key = ValidateKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pcbResult == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kSignAllowedFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    LogMessage(L"Validation 1");
    if (key->opened == 0) {
        return NTE_BAD_KEY_STATE;
    }
    LogMessage(L"Validation 2");
    if ((key->keyUsage & NCRYPT_ALLOW_SIGNING_FLAG) == 0) {
        return NTE_PERM;
    }
    LogMessage(L"Validation 3");
    if (pbHashValue == nullptr || cbHashValue == 0) {
        return NTE_INVALID_PARAMETER;
    }
    LogMessage(L"Validation 4");
    if ((dwFlags & NCRYPT_PAD_PKCS1_FLAG) == 0 || (dwFlags & NCRYPT_PAD_PSS_FLAG) != 0) {
        return NTE_BAD_FLAGS;
    }
    const HashAlgorithm *hashAlgorithm = FindHashAlgorithm(pPaddingInfo);
    if (hashAlgorithm == nullptr) {
        return NTE_INVALID_PARAMETER;
    }

    // Destroyed in reverse: hash, key, context, then the work buffer.
    HeapBlock work;
    CapiContext context;
    CapiKey signatureKey;
    CapiHash hash;

    // The caller's silent flag is not handed on: CAPI gets flags 0 throughout.
    LogMessage(L"Validation 5");
    HCRYPTPROV acquired = 0;
    if (!g_platform.CryptAcquireContextW(&acquired, key->keyName, provider->providerName, PROV_RSA_FULL, 0)) {
        LogMessage(L"Failed to acquire context");
        return NTE_PROVIDER_DLL_FAIL;
    }
    context.adopt(acquired);

    LogMessage(L"Validation 6");
    HCRYPTKEY userKey = 0;
    if (!g_platform.CryptGetUserKey(context.get(), AT_SIGNATURE, &userKey)) {
        LogMessage(L"Failed to acquire user key");
        return NTE_PROVIDER_DLL_FAIL;
    }
    signatureKey.adopt(userKey);

    DWORD keyBits = 0;
    if (!ReadKeyBlockBits(signatureKey.get(), &keyBits)) {
        LogMessage(L"Failed to get key param");
        return NTE_PROVIDER_DLL_FAIL;
    }
    const DWORD keyBytes = keyBits >> 3;
    LogMessage(L"Validation 7: %d", static_cast<int>(keyBytes));

    if (pbSignature == nullptr) {
        *pcbResult = keyBytes;
        return ERROR_SUCCESS;
    }
    if (cbSignature < keyBytes) {
        *pcbResult = keyBytes;
        return NTE_BUFFER_TOO_SMALL;
    }

    LogMessage(L"Validation 8");
    HCRYPTHASH created = 0;
    if (!g_platform.CryptCreateHash(context.get(), hashAlgorithm->algorithm, 0, 0, &created)) {
        LogMessage(L"Failed to create hash");
        return NTE_PROVIDER_DLL_FAIL;
    }
    hash.adopt(created);

    LogMessage(L"Validation 9");
    DWORD hashSize = 0;
    DWORD hashSizeLength = sizeof(hashSize);
    if (!g_platform.CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE *>(&hashSize), &hashSizeLength,
                                      0)) {
        LogMessage(L"Failed to get hash param");
        return NTE_PROVIDER_DLL_FAIL;
    }

    LogMessage(L"Validation 10");
    if (hashSizeLength != sizeof(hashSize) || hashSize != hashAlgorithm->size || cbHashValue != hashSize) {
        return NTE_INVALID_PARAMETER;
    }

    LogMessage(L"Validation 11");
    if (!g_platform.CryptSetHashParam(hash.get(), HP_HASHVAL, pbHashValue, 0)) {
        LogMessage(L"Failed to set hash param");
        return NTE_PROVIDER_DLL_FAIL;
    }

    LogMessage(L"Validation 12");
    work.reset(keyBytes);
    if (!work) {
        return NTE_NO_MEMORY;
    }
    DWORD signatureLength = keyBytes;
    if (!g_platform.CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, 0, work.bytes(), &signatureLength)) {
        const SECURITY_STATUS status = CapiOperationFailure(g_platform.GetLastError());
        LogMessage(L"Failed to sign");
        return status;
    }
    // A provider that claims more than the buffer it was given cannot be copied from safely.
    if (signatureLength > keyBytes) {
        LogMessage(L"Failed to sign");
        return NTE_PROVIDER_DLL_FAIL;
    }

    // CAPI writes the signature least significant byte first; CNG wants it most significant first.
    LogMessage(L"Validation 13");
    for (DWORD i = 0; i < signatureLength; ++i) {
        pbSignature[signatureLength - 1 - i] = work.bytes()[i];
    }
    *pcbResult = signatureLength;

    LogMessage(L"Validation 14");
    return ERROR_SUCCESS;
}
