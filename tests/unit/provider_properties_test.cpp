#include "test_support.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;
constexpr BYTE kFill = 0xCC;

// A provider record from the real OpenProvider, freed on scope exit.
class OpenedProvider {
public:
    explicit OpenedProvider(const wchar_t *name = L"Quorv CSP") {
        EXPECT_EQ(ERROR_SUCCESS, OpenProvider(&handle_, name, 0));
    }
    ~OpenedProvider() {
        if (handle_ != 0) {
            FreeProvider(handle_);
        }
    }
    OpenedProvider(const OpenedProvider &) = delete;
    OpenedProvider &operator=(const OpenedProvider &) = delete;
    NCRYPT_PROV_HANDLE get() const { return handle_; }

private:
    NCRYPT_PROV_HANDLE handle_ = 0;
};

SECURITY_STATUS SetUseContext(NCRYPT_PROV_HANDLE provider, const void *bytes, DWORD size) {
    return SetProviderProperty(provider, NCRYPT_USE_CONTEXT_PROPERTY,
                               static_cast<PBYTE>(const_cast<void *>(bytes)), size, 0);
}

// Reads a property into a buffer larger than needed, so bytes past the value can be checked.
struct PropertyRead {
    SECURITY_STATUS status;
    DWORD size;
    std::vector<BYTE> buffer;
};

PropertyRead ReadProperty(NCRYPT_PROV_HANDLE provider, const wchar_t *name, DWORD bufferSize = 64,
                          DWORD flags = 0) {
    PropertyRead read{0, kUntouched, std::vector<BYTE>(bufferSize, kFill)};
    read.status = GetProviderProperty(provider, name, read.buffer.data(), bufferSize, &read.size, flags);
    return read;
}

std::vector<BYTE> Bytes(const void *data, std::size_t size) {
    const auto *p = static_cast<const BYTE *>(data);
    return std::vector<BYTE>(p, p + size);
}

bool RestIsFill(const std::vector<BYTE> &buffer, std::size_t from) {
    for (std::size_t i = from; i < buffer.size(); ++i) {
        if (buffer[i] != kFill) {
            return false;
        }
    }
    return true;
}

SIZE_T requestedAllocation = 0;
LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T size) {
    requestedAllocation = size;
    return nullptr;
}

}  // namespace

TEST(ProviderPropertyChecks, BadHandleIsRefusedBeforeAnyOtherArgument) {
    OpenedProvider provider;
    KeyObject *key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, CreateKeyObject(L"container", &key));
    const NCRYPT_PROV_HANDLE handles[] = {0, reinterpret_cast<NCRYPT_PROV_HANDLE>(key)};
    for (NCRYPT_PROV_HANDLE handle : handles) {
        EXPECT_EQ(NTE_INVALID_HANDLE, GetProviderProperty(handle, nullptr, nullptr, 0, nullptr, 0xFFFFFFFF));
        EXPECT_EQ(NTE_INVALID_HANDLE, SetProviderProperty(handle, nullptr, nullptr, 0, 0xFFFFFFFF));
        EXPECT_EQ(NTE_INVALID_HANDLE, IsAlgSupported(handle, nullptr, 0xFFFFFFFF));
        EXPECT_EQ(NTE_INVALID_HANDLE, EnumAlgorithms(handle, 0x1, nullptr, nullptr, 0xFFFFFFFF));
    }
    ReleaseKeyObject(key);
}

TEST(ProviderPropertyChecks, NameLengthIsTestedBeforeFlags) {
    OpenedProvider provider;
    const std::wstring name64(64, L'n');
    const std::wstring name65(65, L'n');
    DWORD size = kUntouched;
    BYTE value[2] = {};

    EXPECT_EQ(NTE_NOT_SUPPORTED, GetProviderProperty(provider.get(), name64.c_str(), nullptr, 0, &size, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, GetProviderProperty(provider.get(), name65.c_str(), nullptr, 0, &size, 0x1));
    EXPECT_EQ(NTE_NOT_SUPPORTED, SetProviderProperty(provider.get(), name64.c_str(), value, 2, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, SetProviderProperty(provider.get(), name65.c_str(), value, 2, 0x1));
    EXPECT_EQ(kUntouched, size);
}

TEST(ProviderPropertyChecks, MissingArgumentsAreInvalid) {
    OpenedProvider provider;
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_INVALID_PARAMETER, GetProviderProperty(provider.get(), nullptr, nullptr, 0, &size, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              GetProviderProperty(provider.get(), NCRYPT_VERSION_PROPERTY, nullptr, 0, nullptr, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, SetProviderProperty(provider.get(), nullptr, nullptr, 0, 0));
    for (DWORD inputSize : std::initializer_list<DWORD>{0u, 8u, 0xFFFFFFFFu}) {
        EXPECT_EQ(NTE_INVALID_PARAMETER,
                  SetProviderProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY, nullptr, inputSize, 0));
    }
    EXPECT_EQ(kUntouched, size);
}

TEST(ProviderPropertyChecks, OnlyExactNamesMatch) {
    OpenedProvider provider;
    for (const wchar_t *name : {L"name", L"NAME", L"Impl Type ", L"Impl", L"Security Descr", L"Unique Name",
                                L"Lengths", L""}) {
        const PropertyRead read = ReadProperty(provider.get(), name);
        EXPECT_EQ(NTE_NOT_SUPPORTED, read.status) << Narrow(name);
        EXPECT_EQ(kUntouched, read.size) << Narrow(name);
        EXPECT_TRUE(RestIsFill(read.buffer, 0));
    }
}

TEST(ProviderPropertyChecks, OnlyTheSilentFlagIsAccepted) {
    OpenedProvider provider;
    const PropertyRead plain = ReadProperty(provider.get(), NCRYPT_VERSION_PROPERTY, 8, 0);
    const PropertyRead silent = ReadProperty(provider.get(), NCRYPT_VERSION_PROPERTY, 8, NCRYPT_SILENT_FLAG);
    EXPECT_EQ(ERROR_SUCCESS, silent.status);
    EXPECT_EQ(plain.size, silent.size);
    EXPECT_EQ(plain.buffer, silent.buffer);

    const DWORD badFlags[] = {static_cast<DWORD>(NCRYPT_PERSIST_ONLY_FLAG), 0x1u, 0x80000040u};
    for (DWORD flags : badFlags) {
        const PropertyRead read = ReadProperty(provider.get(), NCRYPT_VERSION_PROPERTY, 8, flags);
        EXPECT_EQ(NTE_BAD_FLAGS, read.status) << flags;
        EXPECT_EQ(kUntouched, read.size);
    }
    BYTE value[2] = {};
    // Flags come before the name, so a read-only name with bad flags is a flag error.
    EXPECT_EQ(NTE_BAD_FLAGS, SetProviderProperty(provider.get(), NCRYPT_NAME_PROPERTY, value, 2, 0x1));
    EXPECT_EQ(NTE_BAD_FLAGS, SetProviderProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY, value, 2, 0x80));
    EXPECT_EQ(ERROR_SUCCESS,
              SetProviderProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY, value, 2, NCRYPT_SILENT_FLAG));
}

TEST(ProviderPropertyValues, FixedNumbersHonourSizeQueryAndBufferSize) {
    struct Row {
        const wchar_t *name;
        std::uint32_t value;
    };
    const Row rows[] = {
        {NCRYPT_IMPL_TYPE_PROPERTY, 2},
        {NCRYPT_MAX_NAME_LENGTH_PROPERTY, 260},
        {NCRYPT_VERSION_PROPERTY, 0x00010500},
        {NCRYPT_SECURITY_DESCR_SUPPORT_PROPERTY, 1},
    };
    OpenedProvider provider;
    for (const Row &row : rows) {
        SCOPED_TRACE(Narrow(row.name));
        DWORD size = kUntouched;
        EXPECT_EQ(ERROR_SUCCESS, GetProviderProperty(provider.get(), row.name, nullptr, 0, &size, 0));
        EXPECT_EQ(4u, size);

        const PropertyRead small = ReadProperty(provider.get(), row.name, 3);
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL, small.status);
        EXPECT_EQ(4u, small.size);
        EXPECT_TRUE(RestIsFill(small.buffer, 0));

        const PropertyRead large = ReadProperty(provider.get(), row.name, 8);
        EXPECT_EQ(ERROR_SUCCESS, large.status);
        EXPECT_EQ(4u, large.size);
        EXPECT_EQ(Bytes(&row.value, 4), std::vector<BYTE>(large.buffer.begin(), large.buffer.begin() + 4));
        EXPECT_TRUE(RestIsFill(large.buffer, 4));
    }
}

TEST(ProviderPropertyValues, NameIsTheOpenedNameWithItsNul) {
    const std::wstring longName(1000, L'p');
    for (const wchar_t *opened : {L"Quorv CSP", L"Vandrel RSA Full Provider 1.2", L"", longName.c_str()}) {
        OpenedProvider provider(opened);
        const std::size_t bytes = (std::wcslen(opened) + 1) * sizeof(wchar_t);
        const PropertyRead read = ReadProperty(provider.get(), NCRYPT_NAME_PROPERTY, static_cast<DWORD>(bytes + 6));
        EXPECT_EQ(ERROR_SUCCESS, read.status);
        EXPECT_EQ(bytes, read.size);
        EXPECT_EQ(Bytes(opened, bytes), std::vector<BYTE>(read.buffer.begin(), read.buffer.begin() + bytes));
        EXPECT_TRUE(RestIsFill(read.buffer, bytes));

        const PropertyRead small =
            ReadProperty(provider.get(), NCRYPT_NAME_PROPERTY, static_cast<DWORD>(bytes - 1));
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL, small.status);
        EXPECT_EQ(bytes, small.size);
        EXPECT_TRUE(RestIsFill(small.buffer, 0));
    }
}

TEST(ProviderPropertyValues, ReadOnlyPropertiesCannotBeSet) {
    OpenedProvider provider;
    const wchar_t replacement[] = L"Other";
    for (const wchar_t *name : {NCRYPT_NAME_PROPERTY, NCRYPT_IMPL_TYPE_PROPERTY, NCRYPT_MAX_NAME_LENGTH_PROPERTY,
                                NCRYPT_VERSION_PROPERTY, NCRYPT_SECURITY_DESCR_SUPPORT_PROPERTY, L"use context"}) {
        EXPECT_EQ(NTE_NOT_SUPPORTED,
                  SetProviderProperty(provider.get(), name, reinterpret_cast<PBYTE>(const_cast<wchar_t *>(replacement)),
                                      sizeof(replacement), 0))
            << Narrow(name);
    }
    const PropertyRead name = ReadProperty(provider.get(), NCRYPT_NAME_PROPERTY);
    EXPECT_EQ(Bytes(L"Quorv CSP", 20), std::vector<BYTE>(name.buffer.begin(), name.buffer.begin() + 20));
    EXPECT_EQ(NTE_INTERNAL_ERROR, ReadProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY).status);
}

TEST(UseContext, AbsentValueIsAnInternalErrorWithoutASize) {
    OpenedProvider provider;
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_INTERNAL_ERROR,
              GetProviderProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY, nullptr, 0, &size, 0));
    EXPECT_EQ(kUntouched, size);
}

TEST(UseContext, ReadsBackUpToTheFirstNul) {
    struct Row {
        const char *what;
        std::vector<BYTE> input;
        std::vector<BYTE> expected;
    };
    const Row rows[] = {
        {"three characters with NUL", {'a', 0, 'b', 0, 'c', 0, 0, 0}, {'a', 0, 'b', 0, 'c', 0, 0, 0}},
        {"NUL in the middle", {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0}, {'a', 0, 'b', 0, 0, 0}},
        {"no terminator", {'a', 0, 'b', 0, 'c', 0}, {'a', 0, 'b', 0, 'c', 0, 0, 0}},
        {"odd size, last unit half given", {'a', 0, 'b', 0, 'c'}, {'a', 0, 'b', 0, 'c', 0, 0, 0}},
        {"odd size, one byte", {'z'}, {'z', 0, 0, 0}},
        {"odd size after a terminator", {'a', 0, 0, 0, 'x'}, {'a', 0, 0, 0}},
        {"empty", {}, {0, 0}},
        {"non-ASCII unit", {0x34, 0x12, 0, 0}, {0x34, 0x12, 0, 0}},
    };
    OpenedProvider provider;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const BYTE dummy = 0;
        const BYTE *input = row.input.empty() ? &dummy : row.input.data();
        ASSERT_EQ(ERROR_SUCCESS, SetUseContext(provider.get(), input, static_cast<DWORD>(row.input.size())));

        DWORD size = kUntouched;
        EXPECT_EQ(ERROR_SUCCESS,
                  GetProviderProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY, nullptr, 0, &size, 0));
        EXPECT_EQ(row.expected.size(), size);

        const PropertyRead read = ReadProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY, 32);
        EXPECT_EQ(ERROR_SUCCESS, read.status);
        EXPECT_EQ(row.expected.size(), read.size);
        EXPECT_EQ(row.expected,
                  std::vector<BYTE>(read.buffer.begin(), read.buffer.begin() + row.expected.size()));
        EXPECT_TRUE(RestIsFill(read.buffer, row.expected.size()));

        const PropertyRead small =
            ReadProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY, static_cast<DWORD>(row.expected.size() - 1));
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL, small.status);
        EXPECT_EQ(row.expected.size(), small.size);
        EXPECT_TRUE(RestIsFill(small.buffer, 0));
    }
}

TEST(UseContext, SecondSetReplacesTheFirstAndCallerBufferIsCopied) {
    OpenedProvider provider;
    wchar_t first[] = L"first value";
    ASSERT_EQ(ERROR_SUCCESS, SetUseContext(provider.get(), first, sizeof(first)));
    first[0] = L'X';  // the stored copy must not follow the caller's buffer
    PropertyRead read = ReadProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY);
    EXPECT_EQ(Bytes(L"first value", sizeof(first)),
              std::vector<BYTE>(read.buffer.begin(), read.buffer.begin() + sizeof(first)));

    const wchar_t second[] = L"2nd";
    ASSERT_EQ(ERROR_SUCCESS, SetUseContext(provider.get(), second, sizeof(second)));
    read = ReadProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY);
    EXPECT_EQ(sizeof(second), read.size);
    EXPECT_EQ(Bytes(second, sizeof(second)),
              std::vector<BYTE>(read.buffer.begin(), read.buffer.begin() + sizeof(second)));
    EXPECT_TRUE(RestIsFill(read.buffer, sizeof(second)));
}

TEST(UseContext, FailedAllocationLeavesNoValue) {
    OpenedProvider provider;
    const wchar_t value[] = L"kept?";
    ASSERT_EQ(ERROR_SUCCESS, SetUseContext(provider.get(), value, sizeof(value)));
    {
        ScopedPlatform platform;
        g_platform.HeapAlloc = FailingHeapAlloc;
        EXPECT_EQ(NTE_NO_MEMORY, SetUseContext(provider.get(), value, sizeof(value)));
        // Room for the caller's bytes and one zero unit after them.
        EXPECT_EQ(sizeof(value) + 2, requestedAllocation);
        EXPECT_EQ(NTE_NO_MEMORY, SetUseContext(provider.get(), value, 5));
        EXPECT_EQ(8u, requestedAllocation);
    }
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_INTERNAL_ERROR,
              GetProviderProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY, nullptr, 0, &size, 0));
    EXPECT_EQ(kUntouched, size);
}

TEST(UseContext, SizeThatCannotBeReportedIsRefusedAndKeepsTheOldValue) {
    OpenedProvider provider;
    const wchar_t value[] = L"old";
    ASSERT_EQ(ERROR_SUCCESS, SetUseContext(provider.get(), value, sizeof(value)));
    // Only the refusal path runs with these sizes: the small buffer is never read.
    const BYTE tiny[4] = {'a', 0, 0, 0};
    for (DWORD size : std::initializer_list<DWORD>{0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFDu}) {
        EXPECT_EQ(NTE_INVALID_PARAMETER, SetUseContext(provider.get(), tiny, size)) << size;
    }
    const PropertyRead read = ReadProperty(provider.get(), NCRYPT_USE_CONTEXT_PROPERTY);
    EXPECT_EQ(sizeof(value), read.size);
    EXPECT_EQ(Bytes(value, sizeof(value)), std::vector<BYTE>(read.buffer.begin(), read.buffer.begin() + 8));

    // The largest accepted size still goes to the allocator, with the terminator's room added.
    ScopedPlatform platform;
    g_platform.HeapAlloc = FailingHeapAlloc;
    EXPECT_EQ(NTE_NO_MEMORY, SetUseContext(provider.get(), tiny, 0xFFFFFFFC));
    EXPECT_EQ(static_cast<SIZE_T>(0xFFFFFFFE), requestedAllocation);
}

TEST(AlgorithmQueries, OnlyExactRsaIsSupported) {
    OpenedProvider provider;
    EXPECT_EQ(ERROR_SUCCESS, IsAlgSupported(provider.get(), L"RSA", 0));
    EXPECT_EQ(ERROR_SUCCESS, IsAlgSupported(provider.get(), L"RSA", NCRYPT_SILENT_FLAG));
    const std::wstring veryLong = L"RSA" + std::wstring(5000, L'A');
    for (const wchar_t *id : {L"rsa", L"Rsa", L"RSA ", L"RSA_SIGN", L"RS", L"", L"ECDSA_P256", veryLong.c_str()}) {
        EXPECT_EQ(NTE_NOT_SUPPORTED, IsAlgSupported(provider.get(), id, 0)) << Narrow(id).substr(0, 16);
    }
    EXPECT_EQ(NTE_INVALID_PARAMETER, IsAlgSupported(provider.get(), nullptr, 0x1));
    EXPECT_EQ(NTE_BAD_FLAGS, IsAlgSupported(provider.get(), L"RSA", 0x1));
    EXPECT_EQ(NTE_BAD_FLAGS, IsAlgSupported(provider.get(), L"RSA", NCRYPT_PERSIST_ONLY_FLAG));
}

TEST(AlgorithmQueries, EnumerationGivesOneRsaEntryForMasksWithItsOperations) {
    OpenedProvider provider;
    for (DWORD mask : std::initializer_list<DWORD>{0x0u, 0x4u, 0x10u, 0x14u, 0x15u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(mask);
        DWORD count = 0;
        NCryptAlgorithmName *list = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, EnumAlgorithms(provider.get(), mask, &count, &list, 0));
        EXPECT_EQ(1u, count);
        ASSERT_NE(nullptr, list);
        EXPECT_EQ(sizeof(void *) == 8 ? 32u : 24u, HeapSize(GetProcessHeap(), 0, list));
        // The name sits in the same block, directly after the entry.
        EXPECT_EQ(reinterpret_cast<BYTE *>(list) + sizeof(NCryptAlgorithmName),
                  reinterpret_cast<BYTE *>(list->pszName));
        EXPECT_STREQ(L"RSA", list->pszName);
        EXPECT_EQ(static_cast<DWORD>(NCRYPT_ASYMMETRIC_ENCRYPTION_INTERFACE), list->dwClass);
        EXPECT_EQ(0x14u, list->dwAlgOperations);
        EXPECT_EQ(0u, list->dwFlags);
        EXPECT_EQ(ERROR_SUCCESS, FreeBuffer(list));
    }
}

TEST(AlgorithmQueries, EnumerationRefusalsWriteNoOutput) {
    OpenedProvider provider;
    NCryptAlgorithmName sentinel{};
    for (DWORD mask : std::initializer_list<DWORD>{0x1u, 0x2u, 0x8u, 0x20u, 0x40u, 0x6Bu, 0xFFFFFFEBu}) {
        DWORD count = kUntouched;
        NCryptAlgorithmName *list = &sentinel;
        EXPECT_EQ(NTE_NOT_SUPPORTED, EnumAlgorithms(provider.get(), mask, &count, &list, 0)) << mask;
        EXPECT_EQ(kUntouched, count);
        EXPECT_EQ(&sentinel, list);
    }
    DWORD count = kUntouched;
    NCryptAlgorithmName *list = &sentinel;
    EXPECT_EQ(NTE_INVALID_PARAMETER, EnumAlgorithms(provider.get(), 0, nullptr, &list, 0x1));
    EXPECT_EQ(NTE_INVALID_PARAMETER, EnumAlgorithms(provider.get(), 0, &count, nullptr, 0x1));
    EXPECT_EQ(NTE_BAD_FLAGS, EnumAlgorithms(provider.get(), 0x1, &count, &list, 0x1));
    EXPECT_EQ(ERROR_SUCCESS, EnumAlgorithms(provider.get(), 0, &count, &list, NCRYPT_SILENT_FLAG));
    EXPECT_EQ(ERROR_SUCCESS, FreeBuffer(list));

    ScopedPlatform platform;
    g_platform.HeapAlloc = FailingHeapAlloc;
    count = kUntouched;
    list = &sentinel;
    EXPECT_EQ(NTE_NO_MEMORY, EnumAlgorithms(provider.get(), 0, &count, &list, 0));
    EXPECT_EQ(kUntouched, count);
    EXPECT_EQ(&sentinel, list);
}

TEST(AlgorithmQueries, EachEnumerationIsItsOwnBlock) {
    OpenedProvider provider;
    DWORD count = 0;
    NCryptAlgorithmName *first = nullptr;
    NCryptAlgorithmName *second = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, EnumAlgorithms(provider.get(), 0, &count, &first, 0));
    ASSERT_EQ(ERROR_SUCCESS, EnumAlgorithms(provider.get(), 0, &count, &second, 0));
    EXPECT_NE(first, second);
    EXPECT_EQ(ERROR_SUCCESS, FreeBuffer(first));
    // The second block stays intact after the first is freed.
    EXPECT_STREQ(L"RSA", second->pszName);
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, second));
    EXPECT_EQ(ERROR_SUCCESS, FreeBuffer(second));
}

TEST(ProviderPropertyChecks, NoEntryWritesToTheTraceLog) {
    OpenedProvider provider;
    ClearCapturedLog();
    DWORD size = 0;
    BYTE buffer[64];
    const wchar_t value[] = L"ctx";
    GetProviderProperty(provider.get(), NCRYPT_NAME_PROPERTY, buffer, sizeof(buffer), &size, 0);
    GetProviderProperty(provider.get(), L"nothing", buffer, sizeof(buffer), &size, 0);
    SetUseContext(provider.get(), value, sizeof(value));
    IsAlgSupported(provider.get(), L"RSA", 0);
    NCryptAlgorithmName *list = nullptr;
    EnumAlgorithms(provider.get(), 0, &size, &list, 0);
    FreeBuffer(list);
    EXPECT_TRUE(CapturedLogLines().empty());
}
