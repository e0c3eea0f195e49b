#include "test_support.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;
constexpr BYTE kFill = 0xCC;

// A provider and one key on it, from the real OpenProvider and OpenKey (or ImportKey).
class OpenedKey {
public:
    explicit OpenedKey(const wchar_t *keyName) {
        EXPECT_EQ(ERROR_SUCCESS, OpenProvider(&provider_, L"Quorv CSP", 0));
        EXPECT_EQ(ERROR_SUCCESS, OpenKey(provider_, &key_, keyName, 0, 0));
    }
    OpenedKey() {
        EXPECT_EQ(ERROR_SUCCESS, OpenProvider(&provider_, L"Quorv CSP", 0));
        std::vector<BYTE> blob(kImportBlobSize, 0);
        std::memcpy(blob.data(), &kImportBlobSize, sizeof(kImportBlobSize));
        EXPECT_EQ(ERROR_SUCCESS, ImportKey(provider_, 0, L"QUORVKSPFMT", nullptr, &key_, blob.data(),
                                           static_cast<DWORD>(blob.size()), 0));
    }
    ~OpenedKey() {
        if (key_ != 0) {
            FreeKey(provider_, key_);
        }
        FreeProvider(provider_);
    }
    OpenedKey(const OpenedKey &) = delete;
    OpenedKey &operator=(const OpenedKey &) = delete;

    NCRYPT_PROV_HANDLE provider() const { return provider_; }
    NCRYPT_KEY_HANDLE key() const { return key_; }
    const KeyObject *record() const { return reinterpret_cast<const KeyObject *>(key_); }

private:
    NCRYPT_PROV_HANDLE provider_ = 0;
    NCRYPT_KEY_HANDLE key_ = 0;
};

struct PropertyRead {
    SECURITY_STATUS status;
    DWORD size;
    std::vector<BYTE> buffer;
};

PropertyRead ReadKeyProperty(const OpenedKey &key, const wchar_t *name, DWORD bufferSize, DWORD flags = 0) {
    PropertyRead read{0, kUntouched, std::vector<BYTE>(bufferSize + 1, kFill)};
    read.status = GetKeyProperty(key.provider(), key.key(), name, read.buffer.data(), bufferSize, &read.size, flags);
    read.buffer.pop_back();
    return read;
}

SECURITY_STATUS QueryKeyProperty(const OpenedKey &key, const wchar_t *name, DWORD flags, DWORD *size) {
    return GetKeyProperty(key.provider(), key.key(), name, nullptr, 0, size, flags);
}

std::vector<BYTE> Bytes(const void *data, std::size_t size) {
    const auto *p = static_cast<const BYTE *>(data);
    return std::vector<BYTE>(p, p + size);
}

std::vector<BYTE> U32(std::uint32_t value) { return Bytes(&value, sizeof(value)); }

std::vector<BYTE> Head(const std::vector<BYTE> &buffer, std::size_t size) {
    return std::vector<BYTE>(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
}

bool RestIsFill(const std::vector<BYTE> &buffer, std::size_t from) {
    for (std::size_t i = from; i < buffer.size(); ++i) {
        if (buffer[i] != kFill) {
            return false;
        }
    }
    return true;
}

const std::vector<std::string> kEntryLine = {"GetKeyProperty"};
const std::vector<std::string> kSecurityLines = {"GetKeyProperty", "Get property - security"};

// Records how the provider asks bcrypt for the supported lengths.
struct LengthsCall {
    int calls = 0;
    BCRYPT_HANDLE handle = nullptr;
    std::wstring property;
    ULONG bufferSize = 0;
    ULONG flags = 0xFFFFFFFF;
    NTSTATUS answer = STATUS_SUCCESS;
};
LengthsCall lengthsCall;

NTSTATUS WINAPI FakeBCryptGetProperty(BCRYPT_HANDLE handle, LPCWSTR property, PUCHAR output, ULONG outputSize,
                                      ULONG *result, ULONG flags) {
    ++lengthsCall.calls;
    lengthsCall.handle = handle;
    lengthsCall.property = property;
    lengthsCall.bufferSize = outputSize;
    lengthsCall.flags = flags;
    *result = sizeof(BCRYPT_KEY_LENGTHS_STRUCT);
    if (lengthsCall.answer != STATUS_SUCCESS) {
        std::memset(output, 0x11, 4);
        return lengthsCall.answer;
    }
    const BCRYPT_KEY_LENGTHS_STRUCT lengths = {512, 16384, 64};
    std::memcpy(output, &lengths, sizeof(lengths));
    return STATUS_SUCCESS;
}

}  // namespace

TEST(KeyPropertyChecks, BadHandlesAreRefusedFirstAndLeaveNoLine) {
    OpenedKey key(L"container");
    KeyObject wrongTag = *key.record();
    wrongTag.tag ^= 1;
    KeyObject shortRecord = *key.record();
    shortRecord.recordSize = kKeyObjectSize - 1;
    DWORD size = kUntouched;
    ClearCapturedLog();

    EXPECT_EQ(NTE_INVALID_HANDLE, GetKeyProperty(0, 0, nullptr, nullptr, 0, nullptr, 0xFFFFFFFF));
    EXPECT_EQ(NTE_INVALID_HANDLE, GetKeyProperty(0, key.key(), NCRYPT_NAME_PROPERTY, nullptr, 0, &size, 0));
    // A key handle in the provider's place, and a provider handle in the key's place.
    EXPECT_EQ(NTE_INVALID_HANDLE,
              GetKeyProperty(key.key(), key.key(), NCRYPT_NAME_PROPERTY, nullptr, 0, &size, 0));
    EXPECT_EQ(NTE_INVALID_HANDLE,
              GetKeyProperty(key.provider(), key.provider(), NCRYPT_NAME_PROPERTY, nullptr, 0, &size, 0));
    for (KeyObject *bad : {&wrongTag, &shortRecord}) {
        EXPECT_EQ(NTE_INVALID_HANDLE, GetKeyProperty(key.provider(), reinterpret_cast<NCRYPT_KEY_HANDLE>(bad),
                                                     nullptr, nullptr, 0, nullptr, 0xFFFFFFFF));
    }
    EXPECT_EQ(NTE_INVALID_HANDLE, GetKeyProperty(key.provider(), 0, NCRYPT_NAME_PROPERTY, nullptr, 0, &size, 0));
    EXPECT_EQ(kUntouched, size);
    EXPECT_TRUE(CapturedLogLines().empty());
}

TEST(KeyPropertyChecks, ArgumentsAndNameLimit) {
    OpenedKey key(L"container");
    const std::wstring name64(64, L'k');
    const std::wstring name65(65, L'k');
    DWORD size = kUntouched;

    ClearCapturedLog();
    EXPECT_EQ(NTE_INVALID_PARAMETER, QueryKeyProperty(key, nullptr, 0, &size));
    EXPECT_EQ(NTE_INVALID_PARAMETER, QueryKeyProperty(key, name65.c_str(), 0x12345, &size));
    EXPECT_EQ(NTE_INVALID_PARAMETER, QueryKeyProperty(key, NCRYPT_NAME_PROPERTY, 0, nullptr));
    EXPECT_TRUE(CapturedLogLines().empty());

    EXPECT_EQ(NTE_NOT_SUPPORTED, QueryKeyProperty(key, name64.c_str(), 0, &size));
    EXPECT_EQ(kEntryLine, CapturedLogLines());
    EXPECT_EQ(kUntouched, size);
}

TEST(KeyPropertyChecks, FlagRuleRunsBeforeTheLookup) {
    struct Row {
        const wchar_t *name;
        DWORD flags;
        SECURITY_STATUS expected;
    };
    const Row rows[] = {
        {NCRYPT_KEY_USAGE_PROPERTY, NCRYPT_SILENT_FLAG, ERROR_SUCCESS},
        {NCRYPT_KEY_USAGE_PROPERTY, 0x1, NTE_BAD_FLAGS},
        {NCRYPT_KEY_USAGE_PROPERTY, NCRYPT_PERSIST_ONLY_FLAG, NTE_NOT_FOUND},
        {NCRYPT_KEY_USAGE_PROPERTY, NCRYPT_PERSIST_ONLY_FLAG | NCRYPT_SILENT_FLAG, NTE_NOT_FOUND},
        {NCRYPT_KEY_USAGE_PROPERTY, NCRYPT_PERSIST_ONLY_FLAG | 0x4, NTE_BAD_FLAGS},
        {NCRYPT_KEY_USAGE_PROPERTY, static_cast<DWORD>(NCRYPT_PERSIST_FLAG), NTE_BAD_FLAGS},
        {L"Not A Property", 0x2, NTE_BAD_FLAGS},
        {L"Not A Property", NCRYPT_PERSIST_ONLY_FLAG, NTE_NOT_FOUND},
        {L"Not A Property", 0, NTE_NOT_SUPPORTED},
        {L"", 0, NTE_NOT_SUPPORTED},
        {L"", NCRYPT_PERSIST_ONLY_FLAG, NTE_NOT_FOUND},
        {NCRYPT_SECURITY_DESCR_PROPERTY, 0, NTE_BAD_FLAGS},
        {NCRYPT_SECURITY_DESCR_PROPERTY, NCRYPT_SILENT_FLAG, NTE_BAD_FLAGS},
        {NCRYPT_SECURITY_DESCR_PROPERTY, 0x20, NTE_BAD_FLAGS},
        {NCRYPT_SECURITY_DESCR_PROPERTY, 0x4 | NCRYPT_PERSIST_ONLY_FLAG, NTE_BAD_FLAGS},
        {NCRYPT_SECURITY_DESCR_PROPERTY, NCRYPT_PERSIST_ONLY_FLAG, NTE_BAD_FLAGS},
    };
    OpenedKey key(L"container");
    for (const Row &row : rows) {
        SCOPED_TRACE(Narrow(row.name) + " flags " + std::to_string(row.flags));
        ClearCapturedLog();
        DWORD size = kUntouched;
        EXPECT_EQ(row.expected, QueryKeyProperty(key, row.name, row.flags, &size));
        EXPECT_EQ(row.expected == ERROR_SUCCESS ? 4u : kUntouched, size);
        EXPECT_EQ(kEntryLine, CapturedLogLines());
    }
}

TEST(KeyPropertyChecks, OnlyExactNamesMatch) {
    OpenedKey key(L"container");
    for (const wchar_t *name : {L"lengths", L"LENGTH", L"Length ", L" Length", L"name", L"Algorithm",
                                L"Security Descr Support", L"Impl Type", L"Use Context"}) {
        DWORD size = kUntouched;
        EXPECT_EQ(NTE_NOT_SUPPORTED, QueryKeyProperty(key, name, 0, &size)) << Narrow(name);
        EXPECT_EQ(kUntouched, size);
    }
}

TEST(KeyPropertyValues, FixedAndRecordValuesHonourSizeQueryAndBufferSize) {
    struct Row {
        const wchar_t *name;
        std::vector<BYTE> value;
    };
    const Row rows[] = {
        {NCRYPT_ALGORITHM_PROPERTY, Bytes(L"RSA", 8)},
        {NCRYPT_ALGORITHM_GROUP_PROPERTY, Bytes(L"RSA", 8)},
        {NCRYPT_BLOCK_LENGTH_PROPERTY, U32(0)},
        {NCRYPT_EXPORT_POLICY_PROPERTY, U32(3)},
        {NCRYPT_KEY_USAGE_PROPERTY, U32(3)},
        {NCRYPT_KEY_TYPE_PROPERTY, U32(0)},
        {NCRYPT_LENGTH_PROPERTY, U32(0)},
        {NCRYPT_NAME_PROPERTY, Bytes(L"container", 20)},
        {NCRYPT_UNIQUE_NAME_PROPERTY, Bytes(L"container", 20)},
    };
    OpenedKey key(L"container");
    for (const Row &row : rows) {
        SCOPED_TRACE(Narrow(row.name));
        const DWORD size = static_cast<DWORD>(row.value.size());
        DWORD queried = kUntouched;
        EXPECT_EQ(ERROR_SUCCESS, QueryKeyProperty(key, row.name, 0, &queried));
        EXPECT_EQ(size, queried);

        const PropertyRead small = ReadKeyProperty(key, row.name, size - 1);
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL, small.status);
        EXPECT_EQ(size, small.size);
        EXPECT_TRUE(RestIsFill(small.buffer, 0));

        const PropertyRead large = ReadKeyProperty(key, row.name, 100, NCRYPT_SILENT_FLAG);
        EXPECT_EQ(ERROR_SUCCESS, large.status);
        EXPECT_EQ(size, large.size);
        EXPECT_EQ(row.value, Head(large.buffer, size));
        EXPECT_TRUE(RestIsFill(large.buffer, size));

        const PropertyRead exact = ReadKeyProperty(key, row.name, size);
        EXPECT_EQ(ERROR_SUCCESS, exact.status);
        EXPECT_EQ(row.value, exact.buffer);
    }
}

TEST(KeyPropertyValues, NameAndUniqueNameForLongAndImportedKeys) {
    const std::wstring longName(129, L'L');
    OpenedKey longKey(longName.c_str());
    OpenedKey imported;
    struct Row {
        const OpenedKey *key;
        std::vector<BYTE> expected;
    };
    const Row rows[] = {
        {&longKey, Bytes(longName.c_str(), 260)},
        {&imported, Bytes(L"Key3", 10)},
    };
    for (const Row &row : rows) {
        for (const wchar_t *name : {NCRYPT_NAME_PROPERTY, NCRYPT_UNIQUE_NAME_PROPERTY}) {
            const DWORD size = static_cast<DWORD>(row.expected.size());
            const PropertyRead read = ReadKeyProperty(*row.key, name, 300);
            EXPECT_EQ(ERROR_SUCCESS, read.status);
            EXPECT_EQ(size, read.size);
            EXPECT_EQ(row.expected, Head(read.buffer, size));
            EXPECT_TRUE(RestIsFill(read.buffer, size));
            const PropertyRead small = ReadKeyProperty(*row.key, name, size - 1);
            EXPECT_EQ(NTE_BUFFER_TOO_SMALL, small.status);
            EXPECT_EQ(size, small.size);
            EXPECT_TRUE(RestIsFill(small.buffer, 0));
        }
    }
}

TEST(KeyPropertyValues, SecurityDescriptorIsEmptyAndLogsItsLine) {
    OpenedKey key(L"container");
    for (DWORD flags : std::initializer_list<DWORD>{0x4u, 0x1Fu, 0x44u, 0x1u, 0x10u}) {
        SCOPED_TRACE(flags);
        ClearCapturedLog();
        const PropertyRead read = ReadKeyProperty(key, NCRYPT_SECURITY_DESCR_PROPERTY, 16, flags);
        EXPECT_EQ(ERROR_SUCCESS, read.status);
        EXPECT_EQ(0u, read.size);
        EXPECT_TRUE(RestIsFill(read.buffer, 0));
        EXPECT_EQ(kSecurityLines, CapturedLogLines());
    }
    DWORD size = kUntouched;
    BYTE none = kFill;
    EXPECT_EQ(ERROR_SUCCESS, GetKeyProperty(key.provider(), key.key(), NCRYPT_SECURITY_DESCR_PROPERTY, &none, 0,
                                            &size, 0x4));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(kFill, none);
}

TEST(KeyLengths, SuccessKeepsThePlatformRangeAndSetsTheDefault) {
    OpenedKey key(L"container");
    ScopedPlatform platform;
    g_platform.BCryptGetProperty = FakeBCryptGetProperty;
    lengthsCall = LengthsCall{};

    const PropertyRead read = ReadKeyProperty(key, NCRYPT_LENGTHS_PROPERTY, 24);
    EXPECT_EQ(ERROR_SUCCESS, read.status);
    EXPECT_EQ(16u, read.size);
    EXPECT_EQ(1, lengthsCall.calls);
    EXPECT_EQ(key.record()->algorithmHandle, lengthsCall.handle);
    EXPECT_NE(nullptr, lengthsCall.handle);
    EXPECT_EQ(L"KeyLengths", lengthsCall.property);
    EXPECT_EQ(24u, lengthsCall.bufferSize);
    EXPECT_EQ(0u, lengthsCall.flags);
    NCRYPT_SUPPORTED_LENGTHS lengths{};
    std::memcpy(&lengths, read.buffer.data(), sizeof(lengths));
    EXPECT_EQ(512u, lengths.dwMinLength);
    EXPECT_EQ(16384u, lengths.dwMaxLength);
    EXPECT_EQ(64u, lengths.dwIncrement);
    EXPECT_EQ(2048u, lengths.dwDefaultLength);
    EXPECT_TRUE(RestIsFill(read.buffer, 16));
}

TEST(KeyLengths, FailureIsPassedOnUnchangedAndSmallBuffersNeverReachBcrypt) {
    OpenedKey key(L"container");
    ScopedPlatform platform;
    g_platform.BCryptGetProperty = FakeBCryptGetProperty;

    const NTSTATUS answers[] = {STATUS_NOT_IMPLEMENTED, STATUS_NOT_SUPPORTED, STATUS_INVALID_HANDLE};
    for (NTSTATUS answer : answers) {
        lengthsCall = LengthsCall{};
        lengthsCall.answer = answer;
        const PropertyRead read = ReadKeyProperty(key, NCRYPT_LENGTHS_PROPERTY, 16);
        EXPECT_EQ(answer, read.status);
        EXPECT_EQ(16u, read.size);
        EXPECT_EQ(1, lengthsCall.calls);
    }

    lengthsCall = LengthsCall{};
    const PropertyRead small = ReadKeyProperty(key, NCRYPT_LENGTHS_PROPERTY, 12);
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, small.status);
    EXPECT_EQ(16u, small.size);
    EXPECT_TRUE(RestIsFill(small.buffer, 0));
    DWORD size = kUntouched;
    EXPECT_EQ(ERROR_SUCCESS, QueryKeyProperty(key, NCRYPT_LENGTHS_PROPERTY, 0, &size));
    EXPECT_EQ(16u, size);
    EXPECT_EQ(NTE_NOT_FOUND, QueryKeyProperty(key, NCRYPT_LENGTHS_PROPERTY, NCRYPT_PERSIST_ONLY_FLAG, &size));
    EXPECT_EQ(0, lengthsCall.calls);
}
