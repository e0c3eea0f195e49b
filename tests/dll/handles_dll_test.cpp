#include "test_support.h"

#include "../unit/handles_heap_walk.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using handles_test::LiveProcessHeapBlocks;

namespace {

constexpr DWORD kBlobSize = sizeof(void *) == 8 ? 24 : 12;
const wchar_t kBlobType[] = L"QUORVKSPFMT";

std::vector<BYTE> MakeBlob(DWORD size, std::uint32_t declared) {
    std::vector<BYTE> blob(size, 0x5C);
    std::memcpy(blob.data(), &declared, sizeof(declared));
    return blob;
}

// Counts the loaded DLL's calls into bcrypt by rewriting its import address table.
struct BcryptSpy {
    static inline std::atomic<int> opens{0};
    static inline std::atomic<int> closes{0};
    static inline std::atomic<int> others{0};
    static inline std::atomic<BCRYPT_ALG_HANDLE> opened{nullptr};
    static inline std::atomic<BCRYPT_ALG_HANDLE> closed{nullptr};

    static void Reset() {
        opens = 0;
        closes = 0;
        others = 0;
        opened = nullptr;
        closed = nullptr;
    }

    static NTSTATUS WINAPI Open(BCRYPT_ALG_HANDLE *handle, LPCWSTR algorithm, LPCWSTR implementation, ULONG flags) {
        ++opens;
        const NTSTATUS status = ::BCryptOpenAlgorithmProvider(handle, algorithm, implementation, flags);
        if (status >= 0) {
            opened = *handle;
        }
        return status;
    }
    static NTSTATUS WINAPI Close(BCRYPT_ALG_HANDLE handle, ULONG flags) {
        ++closes;
        closed = handle;
        return ::BCryptCloseAlgorithmProvider(handle, flags);
    }
    static NTSTATUS WINAPI GetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG size,
                                       ULONG *result, ULONG flags) {
        ++others;
        return ::BCryptGetProperty(object, property, output, size, result, flags);
    }

    // Returns how many bcrypt imports were redirected.
    static int Install(HMODULE module) {
        auto *base = reinterpret_cast<BYTE *>(module);
        const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
        const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        int patched = 0;
        for (auto *desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
             desc->Name != 0; ++desc) {
            if (lstrcmpiA(reinterpret_cast<const char *>(base + desc->Name), "bcrypt.dll") != 0) {
                continue;
            }
            auto *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + desc->OriginalFirstThunk);
            auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                    continue;
                }
                const char *name =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData)->Name;
                void *replacement = nullptr;
                if (std::strcmp(name, "BCryptOpenAlgorithmProvider") == 0) {
                    replacement = reinterpret_cast<void *>(&Open);
                } else if (std::strcmp(name, "BCryptCloseAlgorithmProvider") == 0) {
                    replacement = reinterpret_cast<void *>(&Close);
                } else if (std::strcmp(name, "BCryptGetProperty") == 0) {
                    replacement = reinterpret_cast<void *>(&GetProperty);
                }
                if (replacement == nullptr) {
                    continue;
                }
                DWORD old = 0;
                VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &old);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
                VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), old, &old);
                ++patched;
            }
        }
        return patched;
    }
};

bool DllStillLoaded() { return GetModuleHandleW(KSP_DLL_PATH) != nullptr; }

}  // namespace

TEST(LoadedDllHandles, LimitsAndBlobSizeOfThisBuild) {
    LoadedProvider dll;
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *t = dll.table();
    ASSERT_NE(nullptr, t);

    NCRYPT_PROV_HANDLE provider = 0;
    EXPECT_EQ(NTE_INVALID_PARAMETER, t->OpenProvider(&provider, std::wstring(32767, L'p').c_str(), 0));
    EXPECT_EQ(0u, provider);
    ASSERT_EQ(ERROR_SUCCESS, t->OpenProvider(&provider, std::wstring(32766, L'p').c_str(), 0));
    EXPECT_EQ(ERROR_SUCCESS, t->FreeProvider(provider));
    ASSERT_EQ(ERROR_SUCCESS, t->OpenProvider(&provider, L"", 0));

    NCRYPT_KEY_HANDLE key = 0;
    EXPECT_EQ(NTE_INVALID_PARAMETER, t->OpenKey(provider, &key, std::wstring(130, L'k').c_str(), 0, 0));
    EXPECT_EQ(0u, key);
    for (const std::wstring &name : {std::wstring(129, L'k'), std::wstring()}) {
        ASSERT_EQ(ERROR_SUCCESS, t->OpenKey(provider, &key, name.c_str(), 0, 0));
        EXPECT_EQ(ERROR_SUCCESS, t->FreeKey(provider, key));
    }

    // Key and provider handles are not interchangeable. A provider record as large as a key record
    // fails on its tag, not on its size.
    ASSERT_EQ(ERROR_SUCCESS, t->OpenKey(provider, &key, L"container", 0, 0));
    EXPECT_EQ(NTE_INVALID_HANDLE, t->FreeProvider(static_cast<NCRYPT_PROV_HANDLE>(key)));
    NCRYPT_PROV_HANDLE named = 0;
    ASSERT_EQ(ERROR_SUCCESS, t->OpenProvider(&named, std::wstring(64, L'p').c_str(), 0));
    EXPECT_EQ(NTE_INVALID_HANDLE, t->FreeKey(named, static_cast<NCRYPT_KEY_HANDLE>(named)));
    EXPECT_EQ(ERROR_SUCCESS, t->FreeProvider(named));
    EXPECT_EQ(NTE_INVALID_HANDLE, t->FreeKey(0, key));
    EXPECT_EQ(NTE_INVALID_HANDLE, t->FreeKey(provider, 0));
    EXPECT_EQ(ERROR_SUCCESS, t->FreeKey(provider, key));

    const DWORD otherSize = kBlobSize == 24 ? 12 : 24;
    struct Case {
        DWORD size;
        std::uint32_t declared;
        SECURITY_STATUS expected;
    };
    for (const Case &c : {Case{kBlobSize, kBlobSize, ERROR_SUCCESS}, Case{otherSize, otherSize, NTE_INVALID_PARAMETER},
                          Case{kBlobSize, otherSize, NTE_INVALID_PARAMETER},
                          Case{otherSize, kBlobSize, NTE_INVALID_PARAMETER}}) {
        std::vector<BYTE> blob = MakeBlob(c.size, c.declared);
        key = 0;
        EXPECT_EQ(c.expected, t->ImportKey(provider, 0, kBlobType, nullptr, &key, blob.data(), c.size, 0))
            << c.size << "/" << c.declared;
        if (key != 0) {
            EXPECT_EQ(ERROR_SUCCESS, t->FreeKey(provider, key));
        }
    }
    EXPECT_EQ(ERROR_SUCCESS, t->FreeProvider(provider));
}

TEST(LoadedDllHandles, RsaProviderIsOpenedOnceAndClosedOnceAtUnload) {
    BcryptSpy::Reset();
    {
        LoadedProvider dll;
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *t = dll.table();
        ASSERT_NE(nullptr, t);
        ASSERT_EQ(3, BcryptSpy::Install(dll.module()));

        NCRYPT_PROV_HANDLE provider = 0;
        ASSERT_EQ(ERROR_SUCCESS, t->OpenProvider(&provider, L"Quorv CSP", 0));
        EXPECT_EQ(0, BcryptSpy::opens.load());
        NCRYPT_KEY_HANDLE keys[3] = {};
        for (NCRYPT_KEY_HANDLE &key : keys) {
            ASSERT_EQ(ERROR_SUCCESS, t->OpenKey(provider, &key, L"container", 0, 0));
        }
        // The key outlives its provider and is freed under another one.
        EXPECT_EQ(ERROR_SUCCESS, t->FreeProvider(provider));
        ASSERT_EQ(ERROR_SUCCESS, t->OpenProvider(&provider, L"another", 0));
        for (NCRYPT_KEY_HANDLE key : keys) {
            EXPECT_EQ(ERROR_SUCCESS, t->FreeKey(provider, key));
        }
        EXPECT_EQ(ERROR_SUCCESS, t->FreeProvider(provider));
        EXPECT_EQ(1, BcryptSpy::opens.load());
        EXPECT_EQ(0, BcryptSpy::closes.load());
    }
    ASSERT_FALSE(DllStillLoaded());
    EXPECT_EQ(1, BcryptSpy::closes.load());
    EXPECT_NE(nullptr, BcryptSpy::closed.load());
    EXPECT_EQ(BcryptSpy::opened.load(), BcryptSpy::closed.load());
    EXPECT_EQ(0, BcryptSpy::others.load());
}

TEST(LoadedDllHandles, UnloadWithoutAKeyCallsNoBcrypt) {
    BcryptSpy::Reset();
    {
        LoadedProvider dll;
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *t = dll.table();
        ASSERT_NE(nullptr, t);
        ASSERT_EQ(3, BcryptSpy::Install(dll.module()));
        NCRYPT_PROV_HANDLE provider = 0;
        ASSERT_EQ(ERROR_SUCCESS, t->OpenProvider(&provider, L"Quorv CSP", 0));
        EXPECT_EQ(ERROR_SUCCESS, t->FreeProvider(provider));
    }
    ASSERT_FALSE(DllStillLoaded());
    EXPECT_EQ(0, BcryptSpy::opens.load());
    EXPECT_EQ(0, BcryptSpy::closes.load());
    EXPECT_EQ(0, BcryptSpy::others.load());
}

namespace {

struct DllRace {
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;
    NCRYPT_PROV_HANDLE provider = 0;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    NCRYPT_KEY_HANDLE keys[16] = {};
    SECURITY_STATUS statuses[16] = {};
};

DllRace *race = nullptr;

DWORD WINAPI RaceToFirstKey(LPVOID parameter) {
    const int index = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
    ++race->ready;
    while (!race->go.load()) {
        Sleep(0);
    }
    race->statuses[index] = race->table->OpenKey(race->provider, &race->keys[index], L"racer", 0, 0);
    return 0;
}

}  // namespace

TEST(LoadedDllHandles, SixteenThreadsRacingForTheFirstKeyShareOneRsaHandle) {
    BcryptSpy::Reset();
    DllRace state;
    race = &state;
    {
        LoadedProvider dll;
        state.table = dll.table();
        ASSERT_NE(nullptr, state.table);
        ASSERT_EQ(3, BcryptSpy::Install(dll.module()));
        ASSERT_EQ(ERROR_SUCCESS, state.table->OpenProvider(&state.provider, L"Quorv CSP", 0));

        // One thread at a time is started (threads that start at the same moment crash 32-bit Wine
        // under qemu-user, threads started one at a time do not); all of them then call OpenKey together.
        HANDLE threads[16] = {};
        for (int i = 0; i < 16; ++i) {
            threads[i] = CreateThread(nullptr, 0, RaceToFirstKey, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(i)),
                                      0, nullptr);
            if (threads[i] == nullptr) {
                ADD_FAILURE() << "CreateThread failed: " << GetLastError();
                break;
            }
            while (state.ready.load() < i + 1) {
                Sleep(1);
            }
        }
        state.go = true;
        for (HANDLE thread : threads) {
            if (thread != nullptr) {
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
                CloseHandle(thread);
            }
        }
        EXPECT_EQ(1, BcryptSpy::opens.load());
        // The algorithm handle a key holds is not visible through the table; freeing every key and then
        // unloading closes exactly the one handle that was opened.
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ(ERROR_SUCCESS, state.statuses[i]) << i;
            EXPECT_EQ(ERROR_SUCCESS, state.table->FreeKey(state.provider, state.keys[i])) << i;
        }
        EXPECT_EQ(ERROR_SUCCESS, state.table->FreeProvider(state.provider));
        EXPECT_EQ(0, BcryptSpy::closes.load());
    }
    race = nullptr;
    ASSERT_FALSE(DllStillLoaded());
    EXPECT_EQ(1, BcryptSpy::closes.load());
    EXPECT_EQ(BcryptSpy::opened.load(), BcryptSpy::closed.load());
}

TEST(LoadedDllHandles, HundredThousandCyclesLeaveTheProcessHeapAsItWas) {
    LoadedProvider dll;
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *t = dll.table();
    ASSERT_NE(nullptr, t);
    std::vector<BYTE> blob = MakeBlob(kBlobSize, kBlobSize);
    auto cycles = [&](int count) {
        int failures = 0;
        for (int i = 0; i < count; ++i) {
            NCRYPT_PROV_HANDLE provider = 0;
            NCRYPT_KEY_HANDLE opened = 0;
            NCRYPT_KEY_HANDLE imported = 0;
            failures += t->OpenProvider(&provider, L"Quorv CSP", 0) != ERROR_SUCCESS;
            failures += t->OpenKey(provider, &opened, L"container", 0, 0) != ERROR_SUCCESS;
            failures += t->ImportKey(provider, 0, kBlobType, nullptr, &imported, blob.data(), kBlobSize, 0) !=
                        ERROR_SUCCESS;
            failures += t->FreeKey(provider, opened) != ERROR_SUCCESS;
            failures += t->FreeKey(provider, imported) != ERROR_SUCCESS;
            failures += t->FreeProvider(provider) != ERROR_SUCCESS;
        }
        return failures;
    };
    // Warm-up: the shared "RSA" handle is opened and the heap's caches settle before counting.
    ASSERT_EQ(0, cycles(1000));
    const std::size_t before = LiveProcessHeapBlocks();
    const DWORD started = GetTickCount();
    EXPECT_EQ(0, cycles(100000));
    const DWORD elapsed = GetTickCount() - started;
    const std::size_t after = LiveProcessHeapBlocks();
    EXPECT_EQ(before, after);
    std::printf("[handles] 100000 cycles in the loaded DLL: %lu ms, %zu live heap blocks before and %zu after\n",
                static_cast<unsigned long>(elapsed), before, after);
}
