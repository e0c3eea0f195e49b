#include "handles_fakes.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

using namespace handles_test;

namespace {

using Lines = std::vector<std::string>;
const NCRYPT_KEY_HANDLE kUntouchedKey = 0x5A5A;
const NCRYPT_PROV_HANDLE kUntouchedProvider = 0xA5A5;

}  // namespace

TEST(HandleRecords, FieldsLieInTheirOrderAndWidths) {
    const bool wide = sizeof(void *) == 8;
    EXPECT_EQ(0u, offsetof(ProviderObject, recordSize));
    EXPECT_EQ(4u, offsetof(ProviderObject, tag));
    EXPECT_EQ(8u, offsetof(ProviderObject, providerName));
    EXPECT_EQ(wide ? 16u : 12u, offsetof(ProviderObject, useContext));
    EXPECT_EQ(wide ? 24u : 16u, sizeof(ProviderObject));

    EXPECT_EQ(0u, offsetof(KeyObject, recordSize));
    EXPECT_EQ(4u, offsetof(KeyObject, tag));
    EXPECT_EQ(8u, offsetof(KeyObject, keyName));
    EXPECT_EQ(wide ? 16u : 12u, offsetof(KeyObject, keyLengthBits));
    EXPECT_EQ(wide ? 20u : 16u, offsetof(KeyObject, exportPolicy));
    EXPECT_EQ(wide ? 24u : 20u, offsetof(KeyObject, keyUsage));
    EXPECT_EQ(wide ? 28u : 24u, offsetof(KeyObject, opened));
    EXPECT_EQ(wide ? 32u : 28u, offsetof(KeyObject, algorithmHandle));
    EXPECT_EQ(wide ? 40u : 32u, sizeof(KeyObject));
}

TEST_F(HandlesTest, ProviderNameLimitIs32766CodeUnits) {
    const std::wstring longest(32766, L'p');
    const std::wstring tooLong(32767, L'p');

    NCRYPT_PROV_HANDLE provider = kUntouchedProvider;
    ASSERT_EQ(ERROR_SUCCESS, OpenProvider(&provider, longest.c_str(), 0));
    const ProviderObject *record = AsProvider(provider);
    EXPECT_EQ(sizeof(ProviderObject) + 65534, record->recordSize);
    EXPECT_EQ(longest, record->providerName);
    EXPECT_EQ(reinterpret_cast<const BYTE *>(record) + sizeof(ProviderObject),
              reinterpret_cast<const BYTE *>(record->providerName));
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));

    ClearCapturedLog();
    provider = kUntouchedProvider;
    EXPECT_EQ(NTE_INVALID_PARAMETER, OpenProvider(&provider, tooLong.c_str(), 0));
    EXPECT_EQ(kUntouchedProvider, provider);
    EXPECT_EQ(Lines{"Open provider"}, CapturedLogLines());
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, EmptyProviderNameIsStoredWhateverTheFlags) {
    for (DWORD flags : {DWORD{0}, DWORD{NCRYPT_SILENT_FLAG}, DWORD{0xFFFFFFFF}}) {
        ClearCapturedLog();
        NCRYPT_PROV_HANDLE provider = 0;
        ASSERT_EQ(ERROR_SUCCESS, OpenProvider(&provider, L"", flags)) << flags;
        const ProviderObject *record = AsProvider(provider);
        EXPECT_EQ(sizeof(ProviderObject) + 2, record->recordSize);
        EXPECT_EQ(kProviderObjectTag, record->tag);
        EXPECT_EQ(std::wstring(), record->providerName);
        EXPECT_EQ(nullptr, record->useContext);
        EXPECT_EQ(Lines{"Open provider"}, CapturedLogLines());
        EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    }
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, OpenProviderRefusesNullArgumentsAfterLogging) {
    NCRYPT_PROV_HANDLE provider = kUntouchedProvider;
    EXPECT_EQ(NTE_INVALID_PARAMETER, OpenProvider(&provider, nullptr, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, OpenProvider(nullptr, L"Quorv CSP", 0));
    EXPECT_EQ(kUntouchedProvider, provider);
    EXPECT_EQ((Lines{"Open provider", "Open provider"}), CapturedLogLines());
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, KeyNameLimitIs129CodeUnits) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    const std::wstring longest(129, L'k');
    const std::wstring tooLong(130, L'k');

    struct Case {
        const std::wstring *name;
        SECURITY_STATUS expected;
    };
    const std::wstring empty;
    for (const Case &c : {Case{&longest, ERROR_SUCCESS}, Case{&empty, ERROR_SUCCESS},
                          Case{&tooLong, NTE_INVALID_PARAMETER}}) {
        SCOPED_TRACE(c.name->size());
        ClearCapturedLog();
        NCRYPT_KEY_HANDLE key = kUntouchedKey;
        const SECURITY_STATUS status = OpenKey(provider, &key, c.name->c_str(), AT_SIGNATURE, 0);
        ASSERT_EQ(c.expected, status);
        Lines expected{"OpenKey called", "Validated provider handle", "Key name: " + Narrow(*c.name)};
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(kUntouchedKey, key);
            EXPECT_EQ(expected, CapturedLogLines());
            continue;
        }
        expected.push_back("Successful");
        EXPECT_EQ(expected, CapturedLogLines());
        const KeyObject *record = AsKey(key);
        EXPECT_EQ(*c.name, record->keyName);
        EXPECT_EQ(1u, record->opened);
        EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, key));
    }
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, OpenedKeyHoldsTheFixedValuesAndItsOwnNameCopy) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    wchar_t name[] = L"container";
    NCRYPT_KEY_HANDLE key = 0;
    // Neither the legacy key type nor any flag is refused.
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(provider, &key, name, 0xFFFFFFFF, 0xFFFFFFFF));
    name[0] = L'X';
    const KeyObject *record = AsKey(key);
    EXPECT_EQ(sizeof(KeyObject), record->recordSize);
    EXPECT_EQ(kKeyObjectTag, record->tag);
    EXPECT_EQ(std::wstring(L"container"), record->keyName);
    EXPECT_NE(name, record->keyName);
    EXPECT_TRUE(HeapLedger::Instance().IsLive(record->keyName));
    EXPECT_EQ(0u, record->keyLengthBits);
    EXPECT_EQ(3u, record->exportPolicy);
    EXPECT_EQ(3u, record->keyUsage);
    EXPECT_EQ(1u, record->opened);
    EXPECT_NE(nullptr, record->algorithmHandle);
    EXPECT_EQ(rsaAlgorithmHandle.load(), record->algorithmHandle);
    EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, key));
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, OpenKeyRefusesNullArgumentsBeforeTheNameLine) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    ClearCapturedLog();
    NCRYPT_KEY_HANDLE key = kUntouchedKey;
    EXPECT_EQ(NTE_INVALID_PARAMETER, OpenKey(provider, nullptr, L"container", 0, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, OpenKey(provider, &key, nullptr, 0, 0));
    EXPECT_EQ(kUntouchedKey, key);
    EXPECT_EQ((Lines{"OpenKey called", "Validated provider handle", "OpenKey called", "Validated provider handle"}),
              CapturedLogLines());
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
}

TEST_F(HandlesTest, ImportKeyChecksInOrderAndLogsNothing) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    std::vector<BYTE> good = MakeBlob(kExpectedBlobSize, kExpectedBlobSize);
    NCRYPT_KEY_HANDLE out = kUntouchedKey;

    struct Case {
        const char *what;
        NCRYPT_KEY_HANDLE *phKey;
        const wchar_t *blobType;
        PBYTE data;
        DWORD size;
        DWORD flags;
        SECURITY_STATUS expected;
    };
    const Case cases[] = {
        {"silent", &out, kBlobType, good.data(), kExpectedBlobSize, NCRYPT_SILENT_FLAG, ERROR_SUCCESS},
        {"all four harmless flags", &out, kBlobType, good.data(), kExpectedBlobSize, 0x4C8, ERROR_SUCCESS},
        {"machine key", &out, kBlobType, good.data(), kExpectedBlobSize, 0x20, NTE_NOT_SUPPORTED},
        {"legacy store", &out, kBlobType, good.data(), kExpectedBlobSize, 0x200, NTE_NOT_SUPPORTED},
        {"flag 0x1", &out, kBlobType, good.data(), kExpectedBlobSize, 0x1, NTE_BAD_FLAGS},
        {"flag 0x800", &out, kBlobType, good.data(), kExpectedBlobSize, 0x800, NTE_BAD_FLAGS},
        {"bad flag beats unsupported flag", &out, kBlobType, good.data(), kExpectedBlobSize, 0x821, NTE_BAD_FLAGS},
        {"size zero before bad flags", &out, kBlobType, good.data(), 0, 0x1, NTE_INVALID_PARAMETER},
        {"null data before bad flags", &out, kBlobType, nullptr, kExpectedBlobSize, 0x800, NTE_INVALID_PARAMETER},
        {"null out before bad flags", nullptr, kBlobType, good.data(), kExpectedBlobSize, 0x1,
         NTE_INVALID_PARAMETER},
        {"flags before blob type", &out, L"other", good.data(), kExpectedBlobSize, 0x1, NTE_BAD_FLAGS},
        {"lower case type", &out, L"quorvkspfmt", good.data(), kExpectedBlobSize, 0, NTE_NOT_SUPPORTED},
        {"lengthened type", &out, L"QUORVKSPFMTX", good.data(), kExpectedBlobSize, 0, NTE_NOT_SUPPORTED},
        {"shortened type", &out, L"QUORVKSPFM", good.data(), kExpectedBlobSize, 0, NTE_NOT_SUPPORTED},
        {"empty type", &out, L"", good.data(), kExpectedBlobSize, 0, NTE_NOT_SUPPORTED},
        {"null type", &out, nullptr, good.data(), kExpectedBlobSize, 0, NTE_INVALID_PARAMETER},
        {"type before size", &out, L"other", good.data(), 1, 0, NTE_NOT_SUPPORTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        out = kUntouchedKey;
        ClearCapturedLog();
        const SECURITY_STATUS status =
            ImportKey(provider, 0, c.blobType, nullptr, c.phKey, c.data, c.size, c.flags);
        EXPECT_EQ(c.expected, status);
        EXPECT_EQ(Lines{}, CapturedLogLines());
        if (status == ERROR_SUCCESS) {
            EXPECT_EQ(std::wstring(L"Key3"), AsKey(out)->keyName);
            EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, out));
        } else {
            EXPECT_EQ(kUntouchedKey, out);
        }
        EXPECT_EQ(1u, HeapLedger::Instance().Live());
    }
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
}

TEST_F(HandlesTest, ImportKeyBlobSizeFollowsThePointerWidth) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    struct Case {
        DWORD size;
        std::uint32_t declared;
    };
    // Every pairing of the two builds' sizes, plus near misses; only this build's size twice succeeds.
    const Case cases[] = {{24, 24}, {24, 12}, {12, 12}, {12, 24}, {kExpectedBlobSize + 1, kExpectedBlobSize + 1},
                          {kExpectedBlobSize, kExpectedBlobSize + 1}, {kExpectedBlobSize, 0}, {4, 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << "/" << c.declared);
        const std::vector<BYTE> blob = MakeBlob(c.size, c.declared);
        std::vector<BYTE> copy = blob;
        NCRYPT_KEY_HANDLE key = kUntouchedKey;
        const SECURITY_STATUS status = ImportKey(provider, 0, kBlobType, nullptr, &key, copy.data(), c.size, 0);
        const bool fits = c.size == kExpectedBlobSize && c.declared == kExpectedBlobSize;
        EXPECT_EQ(fits ? ERROR_SUCCESS : NTE_INVALID_PARAMETER, status);
        EXPECT_EQ(blob, copy);
        if (status == ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, key));
        } else {
            EXPECT_EQ(kUntouchedKey, key);
        }
    }
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, ImportedKeyIsKey3NotOpenedWhateverTheBlobHolds) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    for (BYTE filler : {BYTE{0x00}, BYTE{0xFF}, BYTE{0x41}}) {
        std::vector<BYTE> blob = MakeBlob(kExpectedBlobSize, kExpectedBlobSize, filler);
        NCRYPT_KEY_HANDLE key = 0;
        ASSERT_EQ(ERROR_SUCCESS, ImportKey(provider, 0, kBlobType, nullptr, &key, blob.data(),
                                           kExpectedBlobSize, 0));
        const KeyObject *record = AsKey(key);
        EXPECT_EQ(sizeof(KeyObject), record->recordSize);
        EXPECT_EQ(kKeyObjectTag, record->tag);
        EXPECT_EQ(std::wstring(L"Key3"), record->keyName);
        EXPECT_EQ(0u, record->opened);
        EXPECT_EQ(0u, record->keyLengthBits);
        EXPECT_EQ(3u, record->exportPolicy);
        EXPECT_EQ(3u, record->keyUsage);
        EXPECT_EQ(rsaAlgorithmHandle.load(), record->algorithmHandle);
        EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, key));
    }
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, EveryEntryRefusesEachBadHandleTheSameWay) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider(L"a provider name long enough to pass the key size test");
    const NCRYPT_KEY_HANDLE key = OpenTestKey(provider);
    ASSERT_GE(AsProvider(provider)->recordSize, sizeof(KeyObject));

    ProviderObject wrongTagProvider{};
    wrongTagProvider.recordSize = sizeof(ProviderObject) + 2;
    wrongTagProvider.tag = kKeyObjectTag;
    ProviderObject smallProvider{};
    smallProvider.recordSize = sizeof(ProviderObject) - 1;
    smallProvider.tag = kProviderObjectTag;
    KeyObject wrongTagKey{};
    wrongTagKey.recordSize = sizeof(KeyObject);
    wrongTagKey.tag = kProviderObjectTag;
    KeyObject smallKey{};
    smallKey.recordSize = sizeof(KeyObject) - 1;
    smallKey.tag = kKeyObjectTag;
    // A provider record too short for a key fails on its size, a longer one on its tag.
    NCRYPT_PROV_HANDLE shortProvider = OpenTestProvider(L"");

    const std::pair<const char *, NCRYPT_PROV_HANDLE> badProviders[] = {
        {"null", 0},
        {"wrong tag", reinterpret_cast<NCRYPT_PROV_HANDLE>(&wrongTagProvider)},
        {"too small", reinterpret_cast<NCRYPT_PROV_HANDLE>(&smallProvider)},
        {"key handle", static_cast<NCRYPT_PROV_HANDLE>(key)},
    };
    const std::pair<const char *, NCRYPT_KEY_HANDLE> badKeys[] = {
        {"null", 0},
        {"wrong tag", reinterpret_cast<NCRYPT_KEY_HANDLE>(&wrongTagKey)},
        {"too small", reinterpret_cast<NCRYPT_KEY_HANDLE>(&smallKey)},
        {"provider handle", static_cast<NCRYPT_KEY_HANDLE>(provider)},
        {"short provider handle", static_cast<NCRYPT_KEY_HANDLE>(shortProvider)},
    };

    std::vector<BYTE> blob = MakeBlob(kExpectedBlobSize, kExpectedBlobSize);
    for (const auto &[what, bad] : badProviders) {
        SCOPED_TRACE(what);
        ASSERT_EQ(nullptr, ValidateProviderHandle(bad));
        NCRYPT_KEY_HANDLE out = kUntouchedKey;
        const struct {
            std::function<SECURITY_STATUS()> call;
            Lines lines;
        } calls[] = {
            {[&] { return FreeProvider(bad); }, {"Free provider"}},
            {[&] { return OpenKey(bad, &out, L"container", 0, 0); }, {"OpenKey called", "Validated provider handle"}},
            {[&] { return FreeKey(bad, key); }, {"Free key"}},
            {[&] { return ImportKey(bad, 0, kBlobType, nullptr, &out, blob.data(), kExpectedBlobSize, 0); }, {}},
        };
        for (const auto &c : calls) {
            ClearCapturedLog();
            EXPECT_EQ(NTE_INVALID_HANDLE, c.call());
            EXPECT_EQ(c.lines, CapturedLogLines());
            EXPECT_EQ(kUntouchedKey, out);
        }
    }
    for (const auto &[what, bad] : badKeys) {
        SCOPED_TRACE(what);
        EXPECT_EQ(nullptr, ValidateKeyHandle(bad));
        ClearCapturedLog();
        EXPECT_EQ(NTE_INVALID_HANDLE, FreeKey(provider, bad));
        EXPECT_EQ(Lines{"Free key"}, CapturedLogLines());
    }

    // Nothing above released or changed a real record.
    EXPECT_EQ(AsProvider(provider), ValidateProviderHandle(provider));
    EXPECT_EQ(AsKey(key), ValidateKeyHandle(key));
    EXPECT_EQ(4u, HeapLedger::Instance().Live());
    EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, key));
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(shortProvider));
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, KeyOutlivesItsProviderAndAnyValidProviderFreesIt) {
    const NCRYPT_PROV_HANDLE first = OpenTestProvider(L"first");
    const NCRYPT_PROV_HANDLE second = OpenTestProvider(L"second");
    const NCRYPT_KEY_HANDLE key = OpenTestKey(first);
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(first));
    ASSERT_EQ(AsKey(key), ValidateKeyHandle(key));
    EXPECT_EQ(std::wstring(L"container"), AsKey(key)->keyName);
    EXPECT_EQ(ERROR_SUCCESS, FreeKey(second, key));
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(second));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, FreeKeyWithABadProviderLeavesTheKeyUsable) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    const NCRYPT_KEY_HANDLE key = OpenTestKey(provider);
    const std::vector<BYTE> before(reinterpret_cast<const BYTE *>(key),
                                   reinterpret_cast<const BYTE *>(key) + sizeof(KeyObject));
    ClearCapturedLog();
    EXPECT_EQ(NTE_INVALID_HANDLE, FreeKey(0, key));
    EXPECT_EQ(Lines{"Free key"}, CapturedLogLines());
    const std::vector<BYTE> after(reinterpret_cast<const BYTE *>(key),
                                  reinterpret_cast<const BYTE *>(key) + sizeof(KeyObject));
    EXPECT_EQ(before, after);
    EXPECT_EQ(std::wstring(L"container"), AsKey(key)->keyName);
    EXPECT_EQ(3u, HeapLedger::Instance().Live());

    const NCRYPT_PROV_HANDLE another = OpenTestProvider(L"another");
    ClearCapturedLog();
    EXPECT_EQ(ERROR_SUCCESS, FreeKey(another, key));
    EXPECT_EQ(Lines{"Free key"}, CapturedLogLines());
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(another));
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, FreedKeyRecordNoLongerValidates) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    const NCRYPT_KEY_HANDLE key = OpenTestKey(provider);
    HeapLedger &heap = HeapLedger::Instance();
    heap.KeepFreedBlocks(true);
    EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, key));
    EXPECT_EQ(nullptr, ValidateKeyHandle(key));
    EXPECT_EQ(NTE_INVALID_HANDLE, FreeKey(provider, key));
    heap.KeepFreedBlocks(false);
    EXPECT_EQ(0, heap.StrayFrees());
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, heap.Live());
}

namespace {

// Checked at the moment the record goes back to the heap: every byte of it must already be zero.
std::vector<std::size_t> nonZeroFreedRecords;
const void *watchedRecord = nullptr;
std::size_t watchedSize = 0;

void CheckWiped(const void *block) {
    if (block != watchedRecord) {
        return;
    }
    const BYTE *bytes = static_cast<const BYTE *>(block);
    for (std::size_t i = 0; i < watchedSize; ++i) {
        if (bytes[i] != 0) {
            nonZeroFreedRecords.push_back(i);
            return;
        }
    }
}

}  // namespace

TEST_F(HandlesTest, FreeProviderWipesTheWholeRecordAndFreesItsUseContext) {
    for (bool withContext : {false, true}) {
        SCOPED_TRACE(withContext);
        const NCRYPT_PROV_HANDLE provider = OpenTestProvider(L"a provider name that is wiped too");
        ProviderObject *record = AsProvider(provider);
        if (withContext) {
            record->useContext = HeapAllocate(32);
            ASSERT_NE(nullptr, record->useContext);
        }
        nonZeroFreedRecords.clear();
        watchedRecord = record;
        watchedSize = record->recordSize;
        HeapLedger::Instance().InspectFrees(CheckWiped);
        ClearCapturedLog();
        EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
        HeapLedger::Instance().InspectFrees(nullptr);
        EXPECT_EQ(Lines{"Free provider"}, CapturedLogLines());
        EXPECT_EQ(std::vector<std::size_t>{}, nonZeroFreedRecords);
        EXPECT_EQ(0u, HeapLedger::Instance().Live());
        EXPECT_EQ(0, HeapLedger::Instance().StrayFrees());
    }
}

TEST(NtStatusTranslation, EveryRowAndEverythingElse) {
    const std::pair<NTSTATUS, SECURITY_STATUS> rows[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_INVALID_HANDLE, NTE_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, NTE_INVALID_PARAMETER},
        {STATUS_NO_MEMORY, NTE_NO_MEMORY},
        {STATUS_INSUFFICIENT_RESOURCES, NTE_NO_MEMORY},
        {STATUS_BUFFER_TOO_SMALL, NTE_BUFFER_TOO_SMALL},
        {STATUS_NOT_SUPPORTED, NTE_NOT_SUPPORTED},
        {STATUS_INVALID_SIGNATURE, NTE_BAD_SIGNATURE},
        {STATUS_INTERNAL_ERROR, NTE_INTERNAL_ERROR},
        // Unlisted values, positive ones included.
        {STATUS_PENDING, NTE_INTERNAL_ERROR},
        {1, NTE_INTERNAL_ERROR},
        {STATUS_UNSUCCESSFUL, NTE_INTERNAL_ERROR},
        {STATUS_ACCESS_DENIED, NTE_INTERNAL_ERROR},
        {static_cast<NTSTATUS>(0xFFFFFFFF), NTE_INTERNAL_ERROR},
        {static_cast<NTSTATUS>(NTE_NO_MEMORY), NTE_INTERNAL_ERROR},
    };
    for (const auto &[from, to] : rows) {
        EXPECT_EQ(to, NtStatusToSecurityStatus(from)) << std::hex << from;
    }
    // The values themselves, as callers of the provider see them.
    EXPECT_EQ(static_cast<SECURITY_STATUS>(0x8009000E), NtStatusToSecurityStatus(static_cast<NTSTATUS>(0xC0000017)));
    EXPECT_EQ(static_cast<SECURITY_STATUS>(0x80090006), NtStatusToSecurityStatus(static_cast<NTSTATUS>(0xC000A000)));
    EXPECT_EQ(static_cast<SECURITY_STATUS>(0x8009002D), NtStatusToSecurityStatus(static_cast<NTSTATUS>(0xC00000E5)));
}
