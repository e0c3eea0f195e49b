#include "entry_points.h"
#include "handles.h"
#include "platform.h"
#include "wide_string.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr DWORD kAllowedFlags = NCRYPT_SILENT_FLAG;
constexpr std::uint32_t kImplType = NCRYPT_IMPL_SOFTWARE_FLAG;
constexpr std::uint32_t kMaxNameLength = 260;
constexpr std::uint32_t kVersion = 0x00010500;
constexpr std::uint32_t kSecurityDescrSupport = 1;

enum class ProviderProperty { ImplType, MaxNameLength, Name, Version, UseContext, SecurityDescrSupport };

struct ProviderPropertyRow {
    const wchar_t *name;
    ProviderProperty property;
};

const ProviderPropertyRow kProviderProperties[] = {
    {NCRYPT_IMPL_TYPE_PROPERTY, ProviderProperty::ImplType},
    {NCRYPT_MAX_NAME_LENGTH_PROPERTY, ProviderProperty::MaxNameLength},
    {NCRYPT_NAME_PROPERTY, ProviderProperty::Name},
    {NCRYPT_VERSION_PROPERTY, ProviderProperty::Version},
    {NCRYPT_USE_CONTEXT_PROPERTY, ProviderProperty::UseContext},
    {NCRYPT_SECURITY_DESCR_SUPPORT_PROPERTY, ProviderProperty::SecurityDescrSupport},
};

const wchar_t kRsaAlgorithm[] = BCRYPT_RSA_ALGORITHM;
constexpr DWORD kRsaOperations = NCRYPT_ASYMMETRIC_ENCRYPTION_OPERATION | NCRYPT_SIGNATURE_OPERATION;
constexpr std::size_t kAlgorithmListSize = sizeof(NCryptAlgorithmName) + sizeof(kRsaAlgorithm);

const ProviderPropertyRow *FindProviderProperty(const wchar_t *name) {
    for (const ProviderPropertyRow &row : kProviderProperties) {
        if (SameWideString(name, row.name)) {
            return &row;
        }
    }
    return nullptr;
}

// The stored value always ends in a whole zero code unit, so this never runs past the block.
std::uint32_t StoredUseContextBytes(const void *block) {
    const auto *units = static_cast<const wchar_t *>(block);
    std::size_t count = 0;
    while (units[count] != L'\0') {
        ++count;
    }
    return static_cast<std::uint32_t>((count + 1) * sizeof(wchar_t));
}

// The caller's bytes, padded to whole code units, then one zero unit. Zero when the read-back size
// could exceed 32 bits.
std::uint64_t UseContextBlockSize(DWORD cbInput) {
    const std::uint64_t padded = (static_cast<std::uint64_t>(cbInput) + 1) & ~std::uint64_t{1};
    const std::uint64_t total = padded + sizeof(wchar_t);
    return total > std::numeric_limits<std::uint32_t>::max() ? 0 : total;
}

}  // namespace

SECURITY_STATUS WINAPI GetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput,
                                           DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags) {
    ProviderObject *provider = ValidateProviderHandle(hProvider);
    if (provider == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszProperty == nullptr || pcbResult == nullptr ||
        WideStringLongerThan(pszProperty, NCRYPT_MAX_PROPERTY_NAME)) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kAllowedFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    const ProviderPropertyRow *row = FindProviderProperty(pszProperty);
    if (row == nullptr) {
        return NTE_NOT_SUPPORTED;
    }

    std::uint32_t number = 0;
    const void *source = &number;
    std::uint32_t size = sizeof(number);
    switch (row->property) {
    case ProviderProperty::ImplType:
        number = kImplType;
        break;
    case ProviderProperty::MaxNameLength:
        number = kMaxNameLength;
        break;
    case ProviderProperty::Version:
        number = kVersion;
        break;
    case ProviderProperty::SecurityDescrSupport:
        number = kSecurityDescrSupport;
        break;
    case ProviderProperty::Name:
        source = provider->providerName;
        // OpenProvider bounds the name to 0xFFFF bytes, so the size fits.
        size = static_cast<std::uint32_t>(WideStringBytes(provider->providerName));
        break;
    case ProviderProperty::UseContext:
        if (provider->useContext == nullptr) {
            return NTE_INTERNAL_ERROR;
        }
        source = provider->useContext;
        size = StoredUseContextBytes(provider->useContext);
        break;
    }

    *pcbResult = size;
    if (pbOutput == nullptr) {
        return ERROR_SUCCESS;
    }
    if (cbOutput < size) {
        return NTE_BUFFER_TOO_SMALL;
    }
    std::memcpy(pbOutput, source, size);
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI SetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbInput,
                                           DWORD cbInput, DWORD dwFlags) {
    ProviderObject *provider = ValidateProviderHandle(hProvider);
    if (provider == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszProperty == nullptr || WideStringLongerThan(pszProperty, NCRYPT_MAX_PROPERTY_NAME) ||
        pbInput == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kAllowedFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    if (!SameWideString(pszProperty, NCRYPT_USE_CONTEXT_PROPERTY)) {
        return NTE_NOT_SUPPORTED;
    }
    // Refused before the old value goes, so a value too large to report keeps the stored one.
    const std::uint64_t blockSize = UseContextBlockSize(cbInput);
    if (blockSize == 0) {
        return NTE_INVALID_PARAMETER;
    }

    HeapRelease(provider->useContext);
    provider->useContext = nullptr;
    HeapBlock block(static_cast<std::size_t>(blockSize));
    if (!block) {
        return NTE_NO_MEMORY;
    }
    std::memcpy(block.bytes(), pbInput, cbInput);
    std::memset(block.bytes() + cbInput, 0, static_cast<std::size_t>(blockSize - cbInput));
    provider->useContext = block.release();
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI IsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId, DWORD dwFlags) {
    if (ValidateProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszAlgId == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kAllowedFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    return SameWideString(pszAlgId, kRsaAlgorithm) ? ERROR_SUCCESS : NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI EnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations, DWORD *pdwAlgCount,
                                      NCryptAlgorithmName **ppAlgList, DWORD dwFlags) {
    if (ValidateProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pdwAlgCount == nullptr || ppAlgList == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kAllowedFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    if (dwAlgOperations != 0 && (dwAlgOperations & kRsaOperations) == 0) {
        return NTE_NOT_SUPPORTED;
    }
    HeapBlock block(kAlgorithmListSize);
    if (!block) {
        return NTE_NO_MEMORY;
    }
    // The name lives in the same block, so one FreeBuffer releases the entry and its name together.
    std::memset(block.get(), 0, kAlgorithmListSize);
    auto *entry = static_cast<NCryptAlgorithmName *>(block.get());
    auto *name = reinterpret_cast<wchar_t *>(block.bytes() + sizeof(NCryptAlgorithmName));
    std::memcpy(name, kRsaAlgorithm, sizeof(kRsaAlgorithm));
    entry->pszName = name;
    entry->dwClass = NCRYPT_ASYMMETRIC_ENCRYPTION_INTERFACE;
    entry->dwAlgOperations = kRsaOperations;
    entry->dwFlags = 0;
    *pdwAlgCount = 1;
    *ppAlgList = static_cast<NCryptAlgorithmName *>(block.release());
    return ERROR_SUCCESS;
}
