#include "handles_fakes.h"

#include <functional>
#include <string>
#include <vector>

using namespace handles_test;

namespace {

using Lines = std::vector<std::string>;
const NCRYPT_KEY_HANDLE kUntouchedKey = 0x5A5A;

}  // namespace

TEST_F(HandlesTest, FailedRsaOpenStoresNothingAndTheNextKeyRetries) {
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    FakeBcrypt &bcrypt = FakeBcrypt::Instance();

    bcrypt.openStatus = STATUS_NO_MEMORY;
    ClearCapturedLog();
    NCRYPT_KEY_HANDLE key = kUntouchedKey;
    EXPECT_EQ(NTE_NO_MEMORY, OpenKey(provider, &key, L"container", 0, 0));
    EXPECT_EQ(kUntouchedKey, key);
    EXPECT_EQ((Lines{"OpenKey called", "Validated provider handle", "Key name: container"}), CapturedLogLines());
    EXPECT_EQ(1u, HeapLedger::Instance().Live());
    EXPECT_EQ(nullptr, rsaAlgorithmHandle.load());
    EXPECT_EQ(1, bcrypt.openCalls.load());

    // ImportKey passes the translated status on as well, without a line.
    bcrypt.openStatus = STATUS_NOT_SUPPORTED;
    std::vector<BYTE> blob = MakeBlob(kExpectedBlobSize, kExpectedBlobSize);
    ClearCapturedLog();
    EXPECT_EQ(NTE_NOT_SUPPORTED, ImportKey(provider, 0, kBlobType, nullptr, &key, blob.data(), kExpectedBlobSize, 0));
    EXPECT_EQ(kUntouchedKey, key);
    EXPECT_EQ(Lines{}, CapturedLogLines());
    EXPECT_EQ(1u, HeapLedger::Instance().Live());
    EXPECT_EQ(2, bcrypt.openCalls.load());

    // A positive status is success.
    bcrypt.openStatus = 1;
    key = OpenTestKey(provider);
    EXPECT_EQ(3, bcrypt.openCalls.load());
    ASSERT_NE(nullptr, rsaAlgorithmHandle.load());
    EXPECT_EQ(rsaAlgorithmHandle.load(), AsKey(key)->algorithmHandle);

    // Once open, later keys reuse it and freeing keys never closes it.
    const NCRYPT_KEY_HANDLE second = OpenTestKey(provider);
    EXPECT_EQ(3, bcrypt.openCalls.load());
    EXPECT_EQ(AsKey(key)->algorithmHandle, AsKey(second)->algorithmHandle);
    EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, key));
    EXPECT_EQ(ERROR_SUCCESS, FreeKey(provider, second));
    EXPECT_EQ(0, bcrypt.closeCalls.load());
    EXPECT_NE(nullptr, rsaAlgorithmHandle.load());
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
}

TEST_F(HandlesTest, EachFailedAllocationGivesNoMemoryAndLeavesNothing) {
    const std::wstring providerName = L"heap test provider";
    const wchar_t keyName[] = L"nameK";
    NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    std::vector<BYTE> blob = MakeBlob(kExpectedBlobSize, kExpectedBlobSize);
    NCRYPT_PROV_HANDLE newProvider = 0;
    NCRYPT_KEY_HANDLE key = kUntouchedKey;
    const Lines keyLines{"OpenKey called", "Validated provider handle", "Key name: nameK"};

    // The sizes differ from every trace line's buffer, so only the named allocation fails.
    const struct {
        const char *what;
        std::size_t size;
        std::function<SECURITY_STATUS()> call;
        Lines lines;
    } places[] = {
        {"provider record", sizeof(ProviderObject) + (providerName.size() + 1) * 2,
         [&] { return OpenProvider(&newProvider, providerName.c_str(), 0); }, {"Open provider"}},
        {"opened key record", sizeof(KeyObject), [&] { return OpenKey(provider, &key, keyName, 0, 0); }, keyLines},
        {"opened key name", sizeof(keyName), [&] { return OpenKey(provider, &key, keyName, 0, 0); }, keyLines},
        {"imported key record", sizeof(KeyObject),
         [&] { return ImportKey(provider, 0, kBlobType, nullptr, &key, blob.data(), kExpectedBlobSize, 0); }, {}},
        {"imported key name", sizeof(L"Key3"),
         [&] { return ImportKey(provider, 0, kBlobType, nullptr, &key, blob.data(), kExpectedBlobSize, 0); }, {}},
    };
    for (const auto &place : places) {
        SCOPED_TRACE(place.what);
        HeapLedger &heap = HeapLedger::Instance();
        const int refusedBefore = heap.Refusals();
        heap.RefuseSize(place.size);
        ClearCapturedLog();
        EXPECT_EQ(NTE_NO_MEMORY, place.call());
        heap.RefuseSize(0);
        EXPECT_EQ(refusedBefore + 1, heap.Refusals());
        EXPECT_EQ(place.lines, CapturedLogLines());
        EXPECT_EQ(0u, newProvider);
        EXPECT_EQ(kUntouchedKey, key);
        EXPECT_EQ(1u, heap.Live());
        // The shared "RSA" provider is opened only once a key's allocations have succeeded.
        EXPECT_EQ(0, FakeBcrypt::Instance().openCalls.load());
    }
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
    EXPECT_EQ(0, HeapLedger::Instance().StrayFrees());
}

namespace {

struct RaceState {
    NCRYPT_PROV_HANDLE provider = 0;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    NCRYPT_KEY_HANDLE keys[16] = {};
    SECURITY_STATUS statuses[16] = {};
};

struct RaceSlot {
    RaceState *state;
    int index;
};

DWORD WINAPI OpenKeyWhenReleased(LPVOID parameter) {
    auto *slot = static_cast<RaceSlot *>(parameter);
    RaceState &state = *slot->state;
    ++state.ready;
    while (!state.go.load()) {
        Sleep(0);
    }
    state.statuses[slot->index] = OpenKey(state.provider, &state.keys[slot->index], L"racer", 0, 0);
    return 0;
}

// Starts 16 threads, lets them call OpenKey at the same moment and waits for all of them. Each thread
// is running before the next is created: 32-bit Wine under qemu-user crashes when threads start at the
// same moment, while threads started one at a time run side by side without trouble.
void RaceSixteenFirstKeys(RaceState &state) {
    RaceSlot slots[16];
    HANDLE threads[16] = {};
    for (int i = 0; i < 16; ++i) {
        slots[i] = {&state, i};
        threads[i] = CreateThread(nullptr, 0, OpenKeyWhenReleased, &slots[i], 0, nullptr);
        if (threads[i] == nullptr) {
            ADD_FAILURE() << "CreateThread failed: " << GetLastError();
            state.go = true;
            break;
        }
        while (state.ready.load() < i + 1) {
            Sleep(1);
        }
    }
    state.go = true;
    for (HANDLE thread : threads) {
        if (thread == nullptr) {
            continue;
        }
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
        CloseHandle(thread);
    }
}

}  // namespace

TEST_F(HandlesTest, SixteenRacingFirstKeysShareOneRsaHandleClosedOnceAtUnload) {
    FakeBcrypt &bcrypt = FakeBcrypt::Instance();
    bcrypt.openDelayMs = 50;  // keeps the first open in flight while the others arrive
    RaceState state;
    state.provider = OpenTestProvider();
    RaceSixteenFirstKeys(state);

    EXPECT_EQ(1, bcrypt.openCalls.load());
    const BCRYPT_ALG_HANDLE shared = rsaAlgorithmHandle.load();
    ASSERT_NE(nullptr, shared);
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(ERROR_SUCCESS, state.statuses[i]) << i;
        EXPECT_EQ(shared, AsKey(state.keys[i])->algorithmHandle) << i;
        EXPECT_EQ(ERROR_SUCCESS, FreeKey(state.provider, state.keys[i]));
    }
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(state.provider));
    EXPECT_EQ(0u, HeapLedger::Instance().Live());
    EXPECT_EQ(0, bcrypt.closeCalls.load());

    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(1, bcrypt.closeCalls.load());
    EXPECT_EQ(shared, bcrypt.lastClosed.load());
    EXPECT_EQ(nullptr, rsaAlgorithmHandle.load());
    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(1, bcrypt.closeCalls.load());
    EXPECT_EQ(1, bcrypt.openCalls.load());
}

TEST_F(HandlesTest, RacingKeysWhoseOpenFailsAllFailAndStoreNothing) {
    FakeBcrypt &bcrypt = FakeBcrypt::Instance();
    bcrypt.openStatus = STATUS_INSUFFICIENT_RESOURCES;
    RaceState state;
    state.provider = OpenTestProvider();
    RaceSixteenFirstKeys(state);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(NTE_NO_MEMORY, state.statuses[i]) << i;
        EXPECT_EQ(0u, state.keys[i]) << i;
    }
    EXPECT_EQ(16, bcrypt.openCalls.load());
    EXPECT_EQ(nullptr, rsaAlgorithmHandle.load());
    EXPECT_EQ(1u, HeapLedger::Instance().Live());
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(state.provider));

    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(0, bcrypt.closeCalls.load());
}

TEST_F(HandlesTest, UnloadWithoutAKeyMakesNoBcryptCall) {
    // Providers alone never touch bcrypt, at open, at free or at unload.
    const NCRYPT_PROV_HANDLE provider = OpenTestProvider();
    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(provider));
    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr));
    const FakeBcrypt &bcrypt = FakeBcrypt::Instance();
    EXPECT_EQ(0, bcrypt.openCalls.load());
    EXPECT_EQ(0, bcrypt.closeCalls.load());
    EXPECT_EQ(0, bcrypt.getPropertyCalls.load());
}
