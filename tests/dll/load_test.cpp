#include "test_support.h"

namespace {

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

}  // namespace
