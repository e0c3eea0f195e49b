#include "test_support.h"

#include <cstddef>

TEST(FunctionTable, ReadsVersionOneAndEveryEntryIsSet) {
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, GetKeyStorageInterface(L"", &table, 0));
    EXPECT_EQ(1, table->Version.MajorVersion);
    EXPECT_EQ(0, table->Version.MinorVersion);
    EXPECT_EQ(sizeof(void *) * 2, offsetof(NCRYPT_KEY_STORAGE_FUNCTION_TABLE, OpenKey));
}

TEST(FunctionTable, EncryptLogsItsLineAndRefuses) {
    ClearCapturedLog();
    EXPECT_EQ(NTE_NOT_SUPPORTED, keyStorageFunctionTable.Encrypt(0, 0, nullptr, 0, nullptr, nullptr, 0, nullptr, 0));
    EXPECT_EQ(std::vector<std::string>{"Call to unsupported encrypt"}, CapturedLogLines());
}
