#include "test_support.h"

#include "trace_log.h"

#include <cstddef>
#include <functional>

namespace {

// Each member's place in the platform's layout: slot n sits n pointers in, after the padded version.
struct Slot {
    const char *name;
    std::size_t offset;
    const void *entry;
    const void *expected;
};

#define KSP_SLOT(member, n)                                                                                     \
    Slot {                                                                                                      \
        #member, offsetof(NCRYPT_KEY_STORAGE_FUNCTION_TABLE, member) - (n) * sizeof(void *),                   \
            reinterpret_cast<const void *>(keyStorageFunctionTable.member), reinterpret_cast<const void *>(&member) \
    }

TEST(FunctionTable, VersionOneAndTwentySixEntriesInThePlatformLayout) {
    EXPECT_EQ(1, keyStorageFunctionTable.Version.MajorVersion);
    EXPECT_EQ(0, keyStorageFunctionTable.Version.MinorVersion);
    EXPECT_EQ(30 * sizeof(void *), sizeof(NCRYPT_KEY_STORAGE_FUNCTION_TABLE));  // 240 on x64, 120 on x86

    const Slot slots[] = {
        KSP_SLOT(OpenProvider, 1),    KSP_SLOT(OpenKey, 2),          KSP_SLOT(CreatePersistedKey, 3),
        KSP_SLOT(GetProviderProperty, 4), KSP_SLOT(GetKeyProperty, 5), KSP_SLOT(SetProviderProperty, 6),
        KSP_SLOT(SetKeyProperty, 7),  KSP_SLOT(FinalizeKey, 8),      KSP_SLOT(DeleteKey, 9),
        KSP_SLOT(FreeProvider, 10),   KSP_SLOT(FreeKey, 11),         KSP_SLOT(FreeBuffer, 12),
        KSP_SLOT(Encrypt, 13),        KSP_SLOT(Decrypt, 14),         KSP_SLOT(IsAlgSupported, 15),
        KSP_SLOT(EnumAlgorithms, 16), KSP_SLOT(EnumKeys, 17),        KSP_SLOT(ImportKey, 18),
        KSP_SLOT(ExportKey, 19),      KSP_SLOT(SignHash, 20),        KSP_SLOT(VerifySignature, 21),
        KSP_SLOT(PromptUser, 22),     KSP_SLOT(NotifyChangeKey, 23), KSP_SLOT(SecretAgreement, 24),
        KSP_SLOT(DeriveKey, 25),      KSP_SLOT(FreeSecret, 26),
    };
    for (const Slot &slot : slots) {
        EXPECT_EQ(0u, slot.offset) << slot.name << " is not at its platform offset";
        EXPECT_NE(nullptr, slot.entry) << slot.name;
        EXPECT_EQ(slot.expected, slot.entry) << slot.name;
    }
    EXPECT_EQ(nullptr, keyStorageFunctionTable.KeyDerivation);
    EXPECT_EQ(nullptr, keyStorageFunctionTable.CreateClaim);
    EXPECT_EQ(nullptr, keyStorageFunctionTable.VerifyClaim);
}

TEST(FunctionTable, SameTableForEveryNameAndFlagAndALineEachCall) {
    const wchar_t *names[] = {L"", L"Quorv CSP", L"Vandrel RSA Full Provider 1.2", L"anything"};
    const DWORD flags[] = {0, 1, NCRYPT_SILENT_FLAG, 0xFFFFFFFF};
    ClearCapturedLog();
    for (const wchar_t *name : names) {
        for (DWORD flag : flags) {
            NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;
            EXPECT_EQ(ERROR_SUCCESS, GetKeyStorageInterface(name, &table, flag));
            EXPECT_EQ(&keyStorageFunctionTable, table);
        }
    }
    EXPECT_EQ(std::vector<std::string>(16, "Key storage interface"), CapturedLogLines());
}

TEST(FunctionTable, NullPlaceForTheTableIsRefused) {
    EXPECT_EQ(NTE_INVALID_PARAMETER, GetKeyStorageInterface(L"Quorv CSP", nullptr, 0));
}

TEST(RefusedEntries, FixedStatusesWithAllArgumentsNullAndOnlyEncryptLogs) {
    const auto &t = keyStorageFunctionTable;
    struct Case {
        const char *name;
        std::function<SECURITY_STATUS()> call;
        SECURITY_STATUS expected;
    };
    const Case cases[] = {
        {"CreatePersistedKey", [&] { return t.CreatePersistedKey(0, nullptr, nullptr, nullptr, 0, 0); },
         NTE_NOT_SUPPORTED},
        {"SetKeyProperty", [&] { return t.SetKeyProperty(0, 0, nullptr, nullptr, 0, 0); }, ERROR_NOT_SUPPORTED},
        {"FinalizeKey", [&] { return t.FinalizeKey(0, 0, 0); }, ERROR_NOT_SUPPORTED},
        {"DeleteKey", [&] { return t.DeleteKey(0, 0, 0); }, ERROR_NOT_SUPPORTED},
        {"Encrypt", [&] { return t.Encrypt(0, 0, nullptr, 0, nullptr, nullptr, 0, nullptr, 0); },
         NTE_NOT_SUPPORTED},
        {"EnumKeys", [&] { return t.EnumKeys(0, nullptr, nullptr, nullptr, 0); }, ERROR_NOT_SUPPORTED},
        {"ExportKey", [&] { return t.ExportKey(0, 0, 0, nullptr, nullptr, nullptr, 0, nullptr, 0); },
         NTE_NOT_SUPPORTED},
        {"VerifySignature", [&] { return t.VerifySignature(0, 0, nullptr, nullptr, 0, nullptr, 0, 0); },
         NTE_NOT_SUPPORTED},
        {"PromptUser", [&] { return t.PromptUser(0, 0, nullptr, 0); }, NTE_NOT_SUPPORTED},
        {"NotifyChangeKey", [&] { return t.NotifyChangeKey(0, nullptr, 0); }, NTE_NOT_SUPPORTED},
        {"SecretAgreement", [&] { return t.SecretAgreement(0, 0, 0, nullptr, 0); }, NTE_NOT_SUPPORTED},
        {"DeriveKey", [&] { return t.DeriveKey(0, 0, nullptr, nullptr, nullptr, 0, nullptr, 0); },
         NTE_NOT_SUPPORTED},
        {"FreeSecret", [&] { return t.FreeSecret(0, 0); }, NTE_NOT_SUPPORTED},
    };
    for (const Case &c : cases) {
        ClearCapturedLog();
        EXPECT_EQ(c.expected, c.call()) << c.name;
        const std::vector<std::string> lines = CapturedLogLines();
        if (std::string(c.name) == "Encrypt") {
            EXPECT_EQ(std::vector<std::string>{"Call to unsupported encrypt"}, lines);
        } else {
            EXPECT_TRUE(lines.empty()) << c.name << " logged";
        }
    }
}

int heapFrees = 0;
BOOL WINAPI CountingHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    ++heapFrees;
    return RealPlatform().HeapFree(heap, flags, block);
}

TEST(FreeBufferEntry, ReturnsBlocksToTheProcessHeapAndAcceptsNull) {
    ScopedPlatform platform;
    g_platform.HeapFree = CountingHeapFree;
    heapFrees = 0;
    ClearCapturedLog();
    EXPECT_EQ(ERROR_SUCCESS, keyStorageFunctionTable.FreeBuffer(nullptr));
    EXPECT_EQ(ERROR_SUCCESS, keyStorageFunctionTable.FreeBuffer(HeapAllocate(32)));
    EXPECT_EQ(1, heapFrees);
    EXPECT_TRUE(CapturedLogLines().empty());
}

int closes = 0;
BCRYPT_ALG_HANDLE closedHandle = nullptr;
NTSTATUS WINAPI CountingClose(BCRYPT_ALG_HANDLE handle, ULONG) {
    ++closes;
    closedHandle = handle;
    return STATUS_INVALID_HANDLE;  // ignored
}

TEST(DllMainEntry, LogsEveryReasonAndClosesTheRsaProviderOnlyAtDetach) {
    ScopedPlatform platform;
    g_platform.BCryptCloseAlgorithmProvider = CountingClose;
    const BCRYPT_ALG_HANDLE saved = rsaAlgorithmHandle.exchange(nullptr);
    const auto fakeHandle = reinterpret_cast<BCRYPT_ALG_HANDLE>(static_cast<ULONG_PTR>(0x5A50));

    struct Case {
        DWORD reason;
        BCRYPT_ALG_HANDLE rsa;
        std::vector<std::string> lines;
        int closes;
    };
    const Case cases[] = {
        {DLL_PROCESS_ATTACH, fakeHandle, {"DllMain called", "Attaching to DLL"}, 0},
        {DLL_THREAD_ATTACH, fakeHandle, {"DllMain called"}, 0},
        {DLL_THREAD_DETACH, fakeHandle, {"DllMain called"}, 0},
        {77, fakeHandle, {"DllMain called"}, 0},
        {DLL_PROCESS_DETACH, nullptr, {"DllMain called", "Detaching from DLL"}, 0},
        {DLL_PROCESS_DETACH, fakeHandle, {"DllMain called", "Detaching from DLL"}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        closes = 0;
        closedHandle = nullptr;
        rsaAlgorithmHandle = c.rsa;
        ClearCapturedLog();
        EXPECT_EQ(TRUE, DllMain(nullptr, c.reason, nullptr));
        EXPECT_EQ(c.lines, CapturedLogLines());
        EXPECT_EQ(c.closes, closes);
        if (c.closes == 1) {
            EXPECT_EQ(fakeHandle, closedHandle);
            EXPECT_EQ(nullptr, rsaAlgorithmHandle.load());
        }
    }
    rsaAlgorithmHandle = saved;
}

DWORD WINAPI DetachAtProcessExit(LPVOID) {
    return DllMain(nullptr, DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1)) ? 0 : 1;
}

// At process exit the platform has already ended the other threads, perhaps one inside the log's
// lock (held here by the test thread): the detach lines are dropped rather than waited for.
TEST(DllMainEntry, DetachAtProcessExitNeverWaitsForTheLogLock) {
    const BCRYPT_ALG_HANDLE saved = rsaAlgorithmHandle.exchange(nullptr);
    ClearCapturedLog();
    AcquireSRWLockExclusive(&logMutex);
    const HANDLE thread = CreateThread(nullptr, 0, DetachAtProcessExit, nullptr, 0, nullptr);
    const DWORD waited = thread != nullptr ? WaitForSingleObject(thread, 10000) : WAIT_FAILED;
    ReleaseSRWLockExclusive(&logMutex);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "the detach waited for the lock";
    EXPECT_EQ(std::vector<std::string>{}, CapturedLogLines());

    // A line that finds the lock free is still written.
    LogMessage(L"lock free again");
    EXPECT_EQ(std::vector<std::string>{"lock free again"}, CapturedLogLines());
    processTerminating = false;
    rsaAlgorithmHandle = saved;
}

}  // namespace
