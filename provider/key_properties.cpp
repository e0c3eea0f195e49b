#include "entry_points.h"
#include "handles.h"
#include "platform.h"
#include "trace_log.h"
#include "wide_string.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr DWORD kSecurityInformationBits = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION |
                                           LABEL_SECURITY_INFORMATION;
constexpr std::uint32_t kKeyType = 0;
constexpr std::uint32_t kDefaultKeyLength = 2048;

const wchar_t kRsaAlgorithm[] = BCRYPT_RSA_ALGORITHM;

enum class KeyProperty {
    AlgorithmName,
    BlockLength,
    ExportPolicy,
    KeyUsage,
    KeyType,
    Length,
    Lengths,
    Name,
    SecurityDescr,
    AlgorithmGroup,
    UniqueName,
};

struct KeyPropertyRow {
    const wchar_t *name;
    KeyProperty property;
};

const KeyPropertyRow kKeyProperties[] = {
    {NCRYPT_ALGORITHM_PROPERTY, KeyProperty::AlgorithmName},
    {NCRYPT_BLOCK_LENGTH_PROPERTY, KeyProperty::BlockLength},
    {NCRYPT_EXPORT_POLICY_PROPERTY, KeyProperty::ExportPolicy},
    {NCRYPT_KEY_USAGE_PROPERTY, KeyProperty::KeyUsage},
    {NCRYPT_KEY_TYPE_PROPERTY, KeyProperty::KeyType},
    {NCRYPT_LENGTH_PROPERTY, KeyProperty::Length},
    {NCRYPT_LENGTHS_PROPERTY, KeyProperty::Lengths},
    {NCRYPT_NAME_PROPERTY, KeyProperty::Name},
    {NCRYPT_SECURITY_DESCR_PROPERTY, KeyProperty::SecurityDescr},
    {NCRYPT_ALGORITHM_GROUP_PROPERTY, KeyProperty::AlgorithmGroup},
    {NCRYPT_UNIQUE_NAME_PROPERTY, KeyProperty::UniqueName},
};

const KeyPropertyRow *FindKeyProperty(const wchar_t *name) {
    for (const KeyPropertyRow &row : kKeyProperties) {
        if (SameWideString(name, row.name)) {
            return &row;
        }
    }
    return nullptr;
}

// The flag rule runs before the lookup, so it decides on the name alone.
SECURITY_STATUS CheckKeyPropertyFlags(const wchar_t *name, DWORD flags) {
    if (SameWideString(name, NCRYPT_SECURITY_DESCR_PROPERTY)) {
        if (flags == 0 || (flags & ~kSecurityInformationBits) != 0) {
            return NTE_BAD_FLAGS;
        }
        return ERROR_SUCCESS;
    }
    if ((flags & ~static_cast<DWORD>(NCRYPT_PERSIST_ONLY_FLAG)) != 0) {
        return NTE_BAD_FLAGS;
    }
    // A key has no persisted properties, whatever the name.
    if ((flags & NCRYPT_PERSIST_ONLY_FLAG) != 0) {
        return NTE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

}  // namespace

SECURITY_STATUS WINAPI GetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR pszProperty,
                                      PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags) {
    if (ValidateProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    const KeyObject *key = ValidateKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszProperty == nullptr || WideStringLongerThan(pszProperty, NCRYPT_MAX_PROPERTY_NAME) ||
        pcbResult == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    LogMessage(L"GetKeyProperty");

    const DWORD flags = dwFlags & ~static_cast<DWORD>(NCRYPT_SILENT_FLAG);
    const SECURITY_STATUS flagStatus = CheckKeyPropertyFlags(pszProperty, flags);
    if (flagStatus != ERROR_SUCCESS) {
        return flagStatus;
    }
    const KeyPropertyRow *row = FindKeyProperty(pszProperty);
    if (row == nullptr) {
        return NTE_NOT_SUPPORTED;
    }

    std::uint32_t number = 0;
    const void *source = &number;
    std::uint32_t size = sizeof(number);
    switch (row->property) {
    case KeyProperty::AlgorithmName:
    case KeyProperty::AlgorithmGroup:
        source = kRsaAlgorithm;
        size = sizeof(kRsaAlgorithm);
        break;
    case KeyProperty::BlockLength:
        number = (key->keyLengthBits + 7) / 8;
        break;
    case KeyProperty::ExportPolicy:
        number = key->exportPolicy;
        break;
    case KeyProperty::KeyUsage:
        number = key->keyUsage;
        break;
    case KeyProperty::KeyType:
        number = kKeyType;
        break;
    case KeyProperty::Length:
        number = key->keyLengthBits;
        break;
    case KeyProperty::Lengths:
        source = nullptr;
        size = sizeof(NCRYPT_SUPPORTED_LENGTHS);
        break;
    case KeyProperty::Name:
    case KeyProperty::UniqueName:
        source = key->keyName;
        // Key names are bounded to 260 bytes when the key is made.
        size = static_cast<std::uint32_t>(WideStringBytes(key->keyName));
        break;
    case KeyProperty::SecurityDescr:
        LogMessage(L"Get property - security");
        source = nullptr;
        size = 0;
        break;
    }

    *pcbResult = size;
    if (pbOutput == nullptr) {
        return ERROR_SUCCESS;
    }
    if (cbOutput < size) {
        return NTE_BUFFER_TOO_SMALL;
    }
    if (row->property == KeyProperty::Lengths) {
        ULONG written = 0;
        const NTSTATUS status =
            g_platform.BCryptGetProperty(key->algorithmHandle, BCRYPT_KEY_LENGTHS, pbOutput, cbOutput, &written, 0);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        const std::uint32_t defaultLength = kDefaultKeyLength;
        std::memcpy(pbOutput + offsetof(NCRYPT_SUPPORTED_LENGTHS, dwDefaultLength), &defaultLength,
                    sizeof(defaultLength));
        return ERROR_SUCCESS;
    }
    if (size != 0) {
        std::memcpy(pbOutput, source, size);
    }
    return ERROR_SUCCESS;
}
