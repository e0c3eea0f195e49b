#include "test_support.h"

#include "../unit/handles_heap_walk.h"

#include <atomic>
#include <cstdio>

namespace {

using handles_test::BusyBytesOfEveryHeap;

GetKeyStorageInterfaceFn ExportByName(HMODULE module) {
    return reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(module, "GetKeyStorageInterface")));
}

TEST(LoadedDll, ExportHandsOutOneTableForEveryNameAndFlag) {
    LoadedProvider provider;
    ASSERT_NE(nullptr, provider.table());
    const GetKeyStorageInterfaceFn byName = ExportByName(provider.module());
    const auto byOrdinal = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(provider.module(), MAKEINTRESOURCEA(1))));
    ASSERT_NE(nullptr, byName);
    EXPECT_EQ(byName, byOrdinal);

    const wchar_t *names[] = {L"", L"Quorv CSP", L"Vandrel RSA Full Provider 1.2"};
    const DWORD flags[] = {0, NCRYPT_SILENT_FLAG, 0xFFFFFFFF};
    for (const wchar_t *name : names) {
        for (DWORD flag : flags) {
            NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;
            EXPECT_EQ(ERROR_SUCCESS, byName(name, &table, flag));
            EXPECT_EQ(provider.table(), table);
        }
    }
    EXPECT_EQ(NTE_INVALID_PARAMETER, byName(L"Quorv CSP", nullptr, 0));
}

TEST(LoadedDll, TableReadsVersionOneWithEveryEntrySetAndNothingAfter) {
    LoadedProvider provider;
    ASSERT_NE(nullptr, provider.table());
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = provider.table();
    EXPECT_EQ(1, table->Version.MajorVersion);
    EXPECT_EQ(0, table->Version.MinorVersion);
    // Read as the router reads it: 29 pointer slots after the version, the first 26 set.
    const auto *slots = reinterpret_cast<void *const *>(reinterpret_cast<const BYTE *>(table) + sizeof(void *));
    for (int slot = 1; slot <= 29; ++slot) {
        if (slot <= 26) {
            EXPECT_NE(nullptr, slots[slot - 1]) << "slot " << slot;
        } else {
            EXPECT_EQ(nullptr, slots[slot - 1]) << "slot " << slot;
        }
    }
}

// Called through the DLL's own table, so a wrong calling convention would show on the 32-bit stack.
TEST(LoadedDll, RefusedEntriesAnswerTheirStatusesWithNullArguments) {
    LoadedProvider provider;
    ASSERT_NE(nullptr, provider.table());
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = *provider.table();
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.CreatePersistedKey(0, nullptr, nullptr, nullptr, 0, 0));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, t.SetKeyProperty(0, 0, nullptr, nullptr, 0, 0));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, t.FinalizeKey(0, 0, 0));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, t.DeleteKey(0, 0, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.Encrypt(0, 0, nullptr, 0, nullptr, nullptr, 0, nullptr, 0));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, t.EnumKeys(0, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.ExportKey(0, 0, 0, nullptr, nullptr, nullptr, 0, nullptr, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.VerifySignature(0, 0, nullptr, nullptr, 0, nullptr, 0, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.PromptUser(0, 0, nullptr, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.NotifyChangeKey(0, nullptr, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.SecretAgreement(0, 0, 0, nullptr, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.DeriveKey(0, 0, nullptr, nullptr, nullptr, 0, nullptr, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.FreeSecret(0, 0));
    EXPECT_EQ(ERROR_SUCCESS, t.FreeBuffer(nullptr));
}

// The exception a program raises to name a thread for a debugger.
constexpr DWORD kSetThreadNameException = 0x406D1388;
std::atomic<int> threadNamesSeen{0};

LONG CALLBACK CountThreadNames(EXCEPTION_POINTERS *info) {
    if (info->ExceptionRecord->ExceptionCode != kSetThreadNameException) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ++threadNamesSeen;
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool ThreadNameReachesTheHostsHandler() {
    const int before = threadNamesSeen.load();
    const ULONG_PTR record[4] = {0x1000, reinterpret_cast<ULONG_PTR>("ksp guest"), static_cast<ULONG_PTR>(-1), 0};
    RaiseException(kSetThreadNameException, 0, 4, record);
    return threadNamesSeen.load() == before + 1;
}

// Load, hand out the table, open and free a provider, unload, as a host does when its last handle goes.
// Counts the steps that failed, the DLL still loaded afterwards among them.
int GuestCycles(const wchar_t *path, int count, int &handlerMissed) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const HMODULE module = LoadLibraryW(path);
        if (module == nullptr) {
            return failures + 1;
        }
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;
        const GetKeyStorageInterfaceFn entry = ExportByName(module);
        if (entry != nullptr && entry(L"Quorv CSP", &table, 0) == ERROR_SUCCESS && table != nullptr) {
            NCRYPT_PROV_HANDLE provider = 0;
            failures += table->OpenProvider(&provider, L"Quorv CSP", 0) != ERROR_SUCCESS;
            failures += table->FreeProvider(provider) != ERROR_SUCCESS;
        } else {
            ++failures;
        }
        handlerMissed += !ThreadNameReachesTheHostsHandler();
        FreeLibrary(module);
        failures += GetModuleHandleW(path) != nullptr;
    }
    return failures;
}

// The provider is a guest in the host: unloading it gives back every byte it took, and loading it
// puts nothing in front of the host's own exception handlers. This program's own runtime keeps a
// thread-name handler at the head of the list, so the case's handler goes in front of it, just
// before the first load; one that the DLL put at the head would stand before the case's.
TEST(LoadedDll, UnloadGivesBackEveryByteAndLoadingLeavesTheHostsHandlersAlone) {
    // A copy under a name of its own, so that nothing else in the process holds it loaded.
    wchar_t folder[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder));
    wchar_t copy[MAX_PATH + 32];
    wsprintfW(copy, L"%sksp-guest-%lu.dll", folder, GetCurrentProcessId());
    ASSERT_TRUE(CopyFileW(KSP_DLL_PATH, copy, FALSE)) << "could not copy the DLL: " << GetLastError();
    ASSERT_EQ(nullptr, GetModuleHandleW(copy));
    const PVOID handler = AddVectoredExceptionHandler(1, CountThreadNames);
    ASSERT_NE(nullptr, handler);
    EXPECT_TRUE(ThreadNameReachesTheHostsHandler()) << "the case's own handler sees nothing";

    int missed = 0;
    EXPECT_EQ(0, GuestCycles(copy, 1, missed));
    std::size_t before = 0;
    std::size_t after = 0;
    const bool walked = BusyBytesOfEveryHeap(before);
    EXPECT_EQ(0, GuestCycles(copy, 200, missed));
    EXPECT_TRUE(walked && BusyBytesOfEveryHeap(after)) << "more heaps than the walk holds";
    RemoveVectoredExceptionHandler(handler);
    DeleteFileW(copy);

    EXPECT_LE(after, before) << "200 load and unload cycles kept " << after - before << " bytes";
    EXPECT_EQ(0, missed) << "cycles in which the DLL kept the thread-name exception from the host's handler";
    std::printf("[guest] 200 load and unload cycles: %zu busy heap bytes before and %zu after\n", before, after);
}

}  // namespace
