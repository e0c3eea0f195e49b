// Decrypt: one PKCS #1 v1.5 block, decrypted by the CAPI provider the provider handle was opened
// under, with the exchange key of the container the key handle names.
#include "capi.h"
#include "entry_points.h"
#include "handles.h"
#include "platform.h"
#include "trace_log.h"

#include <cstring>

namespace {

// After this test the flags select nothing: CAPI always removes PKCS #1 v1.5 padding.
constexpr DWORD kDecryptAllowedFlags =
    NCRYPT_NO_PADDING_FLAG | NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_OAEP_FLAG | NCRYPT_SILENT_FLAG;

}  // namespace

SECURITY_STATUS WINAPI Decrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput,
                               VOID * /*pPaddingInfo*/, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                               DWORD dwFlags) {
    LogMessage(L"Call to decrypt");
    const ProviderObject *provider = ValidateProviderHandle(hProvider);
    if (provider == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    const KeyObject *key = ValidateKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pbInput == nullptr || cbInput == 0 || pcbResult == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kDecryptAllowedFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    LogMessage(L"Validation 1 OK");
    if ((key->keyUsage & NCRYPT_ALLOW_DECRYPT_FLAG) == 0) {
        return NTE_PERM;
    }
    LogMessage(L"Validation 2 OK - cbInput: %d, cbOutput: %d", static_cast<int>(cbInput), static_cast<int>(cbOutput));

    // Destroyed in reverse: key, context, then the work buffer (wiped first).
    WipedHeapBlock work;
    CapiContext context;
    CapiKey exchangeKey;

    HCRYPTPROV acquired = 0;
    if (!g_platform.CryptAcquireContextW(&acquired, key->keyName, provider->providerName, PROV_RSA_FULL, 0)) {
        LogMessage(L"Failed to acquire context");
        return NTE_PROVIDER_DLL_FAIL;
    }
    context.adopt(acquired);

    HCRYPTKEY userKey = 0;
    if (!g_platform.CryptGetUserKey(context.get(), AT_KEYEXCHANGE, &userKey)) {
        LogMessage(L"Failed to acquire key");
        return NTE_PROVIDER_DLL_FAIL;
    }
    exchangeKey.adopt(userKey);

    DWORD blockBits = 0;
    if (!ReadKeyBlockBits(exchangeKey.get(), &blockBits)) {
        LogMessage(L"Failed to acquire key param");
        return NTE_PROVIDER_DLL_FAIL;
    }
    const DWORD blockLength = blockBits >> 3;
    LogMessage(L"Validation 3 OK - block length: %d", static_cast<int>(blockLength));

    if (pbOutput == nullptr) {
        *pcbResult = blockLength;
        return ERROR_SUCCESS;
    }
    if (cbInput != blockLength || cbOutput != blockLength) {
        return NTE_INVALID_PARAMETER;
    }

    if (!work.allocate(blockLength)) {
        return NTE_NO_MEMORY;
    }
    // The whole input is read before the output is touched, so pbOutput may be pbInput.
    for (DWORD i = 0; i < blockLength; ++i) {
        work.bytes()[blockLength - 1 - i] = pbInput[i];
    }

    DWORD plaintextLength = blockLength;
    if (!g_platform.CryptDecrypt(exchangeKey.get(), 0, TRUE, 0, work.bytes(), &plaintextLength)) {
        const SECURITY_STATUS status = CapiOperationFailure(g_platform.GetLastError());
        LogMessage(L"Decryption failed");
        return status;
    }
    // A provider that claims more plaintext than the block it decrypted cannot be copied from safely.
    if (plaintextLength > blockLength) {
        LogMessage(L"Decryption failed");
        return NTE_PROVIDER_DLL_FAIL;
    }

    std::memcpy(pbOutput, work.bytes(), plaintextLength);
    *pcbResult = plaintextLength;
    return ERROR_SUCCESS;
}
