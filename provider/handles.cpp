#include "handles.h"

#include "platform.h"
#include "trace_log.h"
#include "wide_string.h"

#include <cstring>

std::atomic<BCRYPT_ALG_HANDLE> rsaAlgorithmHandle{nullptr};

namespace {

SRWLOCK rsaOpenLock = SRWLOCK_INIT;

const wchar_t kImportBlobType[] = L"QUORVKSPFMT";
const wchar_t kImportedKeyName[] = L"Key3";

struct StatusMapping {
    NTSTATUS from;
    SECURITY_STATUS to;
};

const StatusMapping kNtStatusMap[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_INVALID_HANDLE, NTE_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, NTE_INVALID_PARAMETER},
    {STATUS_NO_MEMORY, NTE_NO_MEMORY},
    {STATUS_INSUFFICIENT_RESOURCES, NTE_NO_MEMORY},
    {STATUS_BUFFER_TOO_SMALL, NTE_BUFFER_TOO_SMALL},
    {STATUS_NOT_SUPPORTED, NTE_NOT_SUPPORTED},
    {STATUS_INVALID_SIGNATURE, NTE_BAD_SIGNATURE},
    {STATUS_INTERNAL_ERROR, NTE_INTERNAL_ERROR},
};

// Opens the shared "RSA" provider once; a failed open stores nothing so the next key retries.
SECURITY_STATUS EnsureRsaAlgorithmHandle(BCRYPT_ALG_HANDLE *handle) {
    *handle = rsaAlgorithmHandle.load(std::memory_order_acquire);
    if (*handle != nullptr) {
        return ERROR_SUCCESS;
    }
    const ExclusiveLock lock(rsaOpenLock);
    *handle = rsaAlgorithmHandle.load(std::memory_order_acquire);
    if (*handle != nullptr) {
        return ERROR_SUCCESS;
    }
    BCRYPT_ALG_HANDLE opened = nullptr;
    const NTSTATUS status = g_platform.BCryptOpenAlgorithmProvider(&opened, BCRYPT_RSA_ALGORITHM, nullptr, 0);
    if (status < 0) {
        return NtStatusToSecurityStatus(status);
    }
    rsaAlgorithmHandle.store(opened, std::memory_order_release);
    *handle = opened;
    return ERROR_SUCCESS;
}

}  // namespace

ProviderObject *ValidateProviderHandle(NCRYPT_PROV_HANDLE handle) {
    auto *record = reinterpret_cast<ProviderObject *>(handle);
    if (record == nullptr || record->recordSize < kProviderObjectFixedSize || record->tag != kProviderObjectTag) {
        return nullptr;
    }
    return record;
}

KeyObject *ValidateKeyHandle(NCRYPT_KEY_HANDLE handle) {
    auto *record = reinterpret_cast<KeyObject *>(handle);
    if (record == nullptr || record->recordSize < kKeyObjectSize || record->tag != kKeyObjectTag) {
        return nullptr;
    }
    return record;
}

SECURITY_STATUS NtStatusToSecurityStatus(NTSTATUS status) {
    for (const StatusMapping &row : kNtStatusMap) {
        if (row.from == status) {
            return row.to;
        }
    }
    return NTE_INTERNAL_ERROR;
}

SECURITY_STATUS CreateKeyObject(const wchar_t *keyName, KeyObject **key) {
    auto *record = static_cast<KeyObject *>(HeapAllocate(kKeyObjectSize));
    if (record == nullptr) {
        return NTE_NO_MEMORY;
    }
    record->recordSize = kKeyObjectSize;
    record->tag = kKeyObjectTag;
    record->keyName = nullptr;
    record->keyLengthBits = 0;
    record->exportPolicy = 0;
    record->keyUsage = 0;
    record->opened = 0;
    record->algorithmHandle = nullptr;

    const std::uint64_t nameBytes = WideStringBytes(keyName);
    if (nameBytes > kMaxKeyNameBytes) {
        ReleaseKeyObject(record);
        return NTE_INVALID_PARAMETER;
    }
    record->keyName = static_cast<wchar_t *>(HeapAllocate(static_cast<std::size_t>(nameBytes)));
    if (record->keyName == nullptr) {
        ReleaseKeyObject(record);
        return NTE_NO_MEMORY;
    }
    std::memcpy(record->keyName, keyName, static_cast<std::size_t>(nameBytes));

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    const SECURITY_STATUS status = EnsureRsaAlgorithmHandle(&algorithm);
    if (status != ERROR_SUCCESS) {
        ReleaseKeyObject(record);
        return status;
    }
    record->algorithmHandle = algorithm;
    record->exportPolicy = kKeyExportPolicy;
    record->keyUsage = kKeyUsage;
    *key = record;
    return ERROR_SUCCESS;
}

SECURITY_STATUS ReleaseKeyObject(KeyObject *key) {
    HeapRelease(key->keyName);
    // A stale handle passed back after this must fail its check, not find a valid-looking record.
    SecureZeroMemory(key, sizeof(KeyObject));
    HeapRelease(key);
    return ERROR_SUCCESS;
}

void CloseRsaAlgorithmHandle() {
    const BCRYPT_ALG_HANDLE handle = rsaAlgorithmHandle.exchange(nullptr);
    if (handle != nullptr) {
        g_platform.BCryptCloseAlgorithmProvider(handle, 0);
    }
}

SECURITY_STATUS WINAPI OpenProvider(NCRYPT_PROV_HANDLE *phProvider, LPCWSTR pszProviderName, DWORD /*dwFlags*/) {
    LogMessage(L"Open provider");
    if (phProvider == nullptr || pszProviderName == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    const std::uint64_t nameBytes = WideStringBytes(pszProviderName);
    if (nameBytes > kMaxProviderNameBytes) {
        return NTE_INVALID_PARAMETER;
    }
    const std::uint32_t size = kProviderObjectFixedSize + static_cast<std::uint32_t>(nameBytes);
    auto *record = static_cast<ProviderObject *>(HeapAllocate(size));
    if (record == nullptr) {
        return NTE_NO_MEMORY;
    }
    record->recordSize = size;
    record->tag = kProviderObjectTag;
    record->providerName = reinterpret_cast<wchar_t *>(reinterpret_cast<BYTE *>(record) + kProviderObjectFixedSize);
    record->useContext = nullptr;
    std::memcpy(record->providerName, pszProviderName, static_cast<std::size_t>(nameBytes));
    *phProvider = reinterpret_cast<NCRYPT_PROV_HANDLE>(record);
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI FreeProvider(NCRYPT_PROV_HANDLE hProvider) {
    LogMessage(L"Free provider");
    ProviderObject *record = ValidateProviderHandle(hProvider);
    if (record == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    HeapRelease(record->useContext);
    record->useContext = nullptr;
    SecureZeroMemory(record, record->recordSize);
    HeapRelease(record);
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI OpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE *phKey, LPCWSTR pszKeyName,
                               DWORD /*dwLegacyKeySpec*/, DWORD /*dwFlags*/) {
    LogMessage(L"OpenKey called");
    ProviderObject *provider = ValidateProviderHandle(hProvider);
    LogMessage(L"Validated provider handle");
    if (provider == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (phKey == nullptr || pszKeyName == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    LogMessage(L"Key name: %s", pszKeyName);
    KeyObject *key = nullptr;
    const SECURITY_STATUS status = CreateKeyObject(pszKeyName, &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    key->opened = 1;
    *phKey = reinterpret_cast<NCRYPT_KEY_HANDLE>(key);
    LogMessage(L"Successful");
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI FreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    LogMessage(L"Free key");
    if (ValidateProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    KeyObject *key = ValidateKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    return ReleaseKeyObject(key);
}

SECURITY_STATUS WINAPI ImportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE /*hImportKey*/,
                                 LPCWSTR pszBlobType, NCryptBufferDesc * /*pParameterList*/,
                                 NCRYPT_KEY_HANDLE *phKey, PBYTE pbData, DWORD cbData, DWORD dwFlags) {
    if (ValidateProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (phKey == nullptr || pbData == nullptr || cbData == 0) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kImportAllowedFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    if ((dwFlags & kImportUnsupportedFlags) != 0) {
        return NTE_NOT_SUPPORTED;
    }
    if (pszBlobType == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if (!SameWideString(pszBlobType, kImportBlobType)) {
        return NTE_NOT_SUPPORTED;
    }
    if (cbData != kImportBlobSize) {
        return NTE_INVALID_PARAMETER;
    }
    std::uint32_t declaredSize = 0;
    std::memcpy(&declaredSize, pbData, sizeof(declaredSize));
    if (declaredSize != kImportBlobSize) {
        return NTE_INVALID_PARAMETER;
    }
    KeyObject *key = nullptr;
    const SECURITY_STATUS status = CreateKeyObject(kImportedKeyName, &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    *phKey = reinterpret_cast<NCRYPT_KEY_HANDLE>(key);
    return ERROR_SUCCESS;
}
