#include "test_support.h"

#include <cstdint>
#include <cstring>

namespace {

// Busy blocks of the real process heap, the allocator behind handles and returned buffers.
std::size_t LiveProcessHeapBlocks() {
    const HANDLE heap = GetProcessHeap();
    std::size_t count = 0;
    if (!HeapLock(heap)) {
        ADD_FAILURE() << "HeapLock failed: " << GetLastError();
        return 0;
    }
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
            ++count;
        }
    }
    HeapUnlock(heap);
    return count;
}

class DllProperties : public ::testing::Test {
protected:
    void SetUp() override {
        table_ = loaded_.table();
        ASSERT_NE(nullptr, table_);
        ASSERT_EQ(ERROR_SUCCESS, table_->OpenProvider(&provider_, L"Quorv CSP", 0));
    }
    void TearDown() override {
        if (table_ != nullptr && provider_ != 0) {
            EXPECT_EQ(ERROR_SUCCESS, table_->FreeProvider(provider_));
        }
    }

    LoadedProvider loaded_;
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table_ = nullptr;
    NCRYPT_PROV_HANDLE provider_ = 0;
};

}  // namespace

TEST_F(DllProperties, EnumeratedBlocksAreSeparateAndEachFreedByFreeBuffer) {
    DWORD count = 0;
    NCryptAlgorithmName *first = nullptr;
    NCryptAlgorithmName *second = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, table_->EnumAlgorithms(provider_, NCRYPT_SIGNATURE_OPERATION, &count, &first, 0));
    ASSERT_EQ(ERROR_SUCCESS, table_->EnumAlgorithms(provider_, 0, &count, &second, 0));
    ASSERT_NE(first, second);
    EXPECT_EQ(1u, count);
    EXPECT_STREQ(L"RSA", first->pszName);
    EXPECT_EQ(sizeof(void *) == 8 ? 32u : 24u, HeapSize(GetProcessHeap(), 0, first));
    const std::size_t before = LiveProcessHeapBlocks();
    EXPECT_EQ(ERROR_SUCCESS, table_->FreeBuffer(first));
    EXPECT_EQ(before - 1, LiveProcessHeapBlocks());
    EXPECT_STREQ(L"RSA", second->pszName);
    EXPECT_EQ(ERROR_SUCCESS, table_->FreeBuffer(second));
    EXPECT_EQ(before - 2, LiveProcessHeapBlocks());
}

// Wine's bcrypt does not implement "KeyLengths"; whatever the platform answers reaches the caller as is.
TEST_F(DllProperties, KeyLengthsPassTheRealBcryptAnswerThrough) {
    BCRYPT_ALG_HANDLE rsa = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, BCryptOpenAlgorithmProvider(&rsa, BCRYPT_RSA_ALGORITHM, nullptr, 0));
    BCRYPT_KEY_LENGTHS_STRUCT direct{};
    ULONG directSize = 0;
    const NTSTATUS expected = BCryptGetProperty(rsa, BCRYPT_KEY_LENGTHS, reinterpret_cast<PUCHAR>(&direct),
                                                sizeof(NCRYPT_SUPPORTED_LENGTHS), &directSize, 0);
    BCryptCloseAlgorithmProvider(rsa, 0);

    NCRYPT_KEY_HANDLE key = 0;
    ASSERT_EQ(ERROR_SUCCESS, table_->OpenKey(provider_, &key, L"some container", 0, 0));
    NCRYPT_SUPPORTED_LENGTHS lengths{};
    DWORD size = 0;
    const SECURITY_STATUS status = table_->GetKeyProperty(provider_, key, NCRYPT_LENGTHS_PROPERTY,
                                                          reinterpret_cast<PBYTE>(&lengths), sizeof(lengths), &size, 0);
    EXPECT_EQ(expected, status);
    EXPECT_EQ(16u, size);

    BYTE name[32];
    ASSERT_EQ(ERROR_SUCCESS,
              table_->GetKeyProperty(provider_, key, NCRYPT_UNIQUE_NAME_PROPERTY, name, sizeof(name), &size, 0));
    EXPECT_EQ(30u, size);
    EXPECT_EQ(0, std::memcmp(L"some container", name, 30));
    EXPECT_EQ(ERROR_SUCCESS, table_->FreeKey(provider_, key));
}

TEST_F(DllProperties, ManySetGetEnumFreeCallsLeaveNoHeapBlockBehind) {
    constexpr int kIterations = 100000;
    const std::size_t before = LiveProcessHeapBlocks();

    NCRYPT_PROV_HANDLE provider = 0;
    ASSERT_EQ(ERROR_SUCCESS, table_->OpenProvider(&provider, L"Quorv CSP", 0));
    const BYTE values[2][7] = {{'a', 0, 'b', 0, 'c', 0, 0}, {'x', 0, 0, 0, 'y', 0, 'z'}};
    BYTE buffer[16];
    int failures = 0;
    for (int i = 0; i < kIterations; ++i) {
        const DWORD valueSize = 5 + static_cast<DWORD>(i % 3);
        DWORD size = 0;
        DWORD count = 0;
        NCryptAlgorithmName *list = nullptr;
        failures += table_->SetProviderProperty(provider, NCRYPT_USE_CONTEXT_PROPERTY,
                                                const_cast<PBYTE>(values[i % 2]), valueSize, 0) != ERROR_SUCCESS;
        failures += table_->GetProviderProperty(provider, NCRYPT_USE_CONTEXT_PROPERTY, buffer, sizeof(buffer),
                                                &size, 0) != ERROR_SUCCESS;
        failures += table_->EnumAlgorithms(provider, 0, &count, &list, 0) != ERROR_SUCCESS;
        failures += table_->FreeBuffer(list) != ERROR_SUCCESS;
    }
    EXPECT_EQ(0, failures);
    // FreeProvider releases the last stored value together with the record.
    ASSERT_EQ(ERROR_SUCCESS, table_->FreeProvider(provider));
    EXPECT_EQ(before, LiveProcessHeapBlocks());
}
