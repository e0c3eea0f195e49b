// Records behind the handles the provider gives to CNG, and their checks.
#pragma once

#include "win.h"

#include <atomic>
#include <cstdint>

constexpr std::uint32_t kProviderObjectTag = 0xCAB10CF8;
constexpr std::uint32_t kKeyObjectTag = 0x02A671C3;

// One process-heap allocation; the provider name is copied directly after the fixed fields.
struct ProviderObject {
    std::uint32_t recordSize;
    std::uint32_t tag;
    wchar_t *providerName;
    void *useContext;  // owned process-heap block, or null
};

// Fixed-size process-heap record; the key name is a separate heap copy it owns.
struct KeyObject {
    std::uint32_t recordSize;
    std::uint32_t tag;
    wchar_t *keyName;
    std::uint32_t keyLengthBits;
    std::uint32_t exportPolicy;
    std::uint32_t keyUsage;
    std::uint32_t opened;
    BCRYPT_ALG_HANDLE algorithmHandle;  // copy of rsaAlgorithmHandle, not owned
};

constexpr std::uint32_t kProviderObjectFixedSize = sizeof(ProviderObject);
constexpr std::uint32_t kKeyObjectSize = sizeof(KeyObject);
constexpr std::uint32_t kKeyExportPolicy = NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG;
constexpr std::uint32_t kKeyUsage = NCRYPT_ALLOW_DECRYPT_FLAG | NCRYPT_ALLOW_SIGNING_FLAG;
constexpr std::uint32_t kMaxProviderNameBytes = 0xFFFF;
constexpr std::uint32_t kMaxKeyNameBytes = 260;
// The provider's own key blob: its first u32 holds its size, which follows the pointer width.
constexpr std::uint32_t kImportBlobSize = static_cast<std::uint32_t>(3 * sizeof(void *));
constexpr DWORD kImportAllowedFlags = NCRYPT_NO_KEY_VALIDATION | NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG |
                                      NCRYPT_OVERWRITE_KEY_FLAG | NCRYPT_WRITE_KEY_TO_LEGACY_STORE_FLAG |
                                      NCRYPT_DO_NOT_FINALIZE_FLAG;
constexpr DWORD kImportUnsupportedFlags = NCRYPT_MACHINE_KEY_FLAG | NCRYPT_WRITE_KEY_TO_LEGACY_STORE_FLAG;

// Process-wide "RSA" algorithm provider, opened on the first key and closed at process detach.
extern std::atomic<BCRYPT_ALG_HANDLE> rsaAlgorithmHandle;

ProviderObject *ValidateProviderHandle(NCRYPT_PROV_HANDLE handle);
KeyObject *ValidateKeyHandle(NCRYPT_KEY_HANDLE handle);
SECURITY_STATUS CreateKeyObject(const wchar_t *keyName, KeyObject **key);
SECURITY_STATUS ReleaseKeyObject(KeyObject *key);
SECURITY_STATUS NtStatusToSecurityStatus(NTSTATUS status);

// Closes rsaAlgorithmHandle if a key ever opened it; called once, at process detach.
void CloseRsaAlgorithmHandle();

SECURITY_STATUS WINAPI OpenProvider(NCRYPT_PROV_HANDLE *phProvider, LPCWSTR pszProviderName, DWORD dwFlags);
SECURITY_STATUS WINAPI FreeProvider(NCRYPT_PROV_HANDLE hProvider);
SECURITY_STATUS WINAPI OpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE *phKey, LPCWSTR pszKeyName,
                               DWORD dwLegacyKeySpec, DWORD dwFlags);
SECURITY_STATUS WINAPI FreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);
SECURITY_STATUS WINAPI ImportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hImportKey, LPCWSTR pszBlobType,
                                 NCryptBufferDesc *pParameterList, NCRYPT_KEY_HANDLE *phKey, PBYTE pbData,
                                 DWORD cbData, DWORD dwFlags);
