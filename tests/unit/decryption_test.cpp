#include "fake_capi.h"

#include <algorithm>
#include <numeric>

namespace {

using namespace capi_fake;

constexpr DWORD kUntouched = 0xDEADBEEF;
constexpr BYTE kFill = 0xEE;

class DecryptionTest : public ::testing::Test {
protected:
    TestHandles handles;
    FakeCapiScope capi;

    std::vector<BYTE> input = Counting(256);
    std::vector<BYTE> output = std::vector<BYTE>(256, kFill);
    DWORD result = kUntouched;

    static std::vector<BYTE> Counting(std::size_t size) {
        std::vector<BYTE> bytes(size);
        std::iota(bytes.begin(), bytes.end(), BYTE{0});
        return bytes;
    }
    SECURITY_STATUS Decrypt256(DWORD flags = NCRYPT_PAD_PKCS1_FLAG) {
        return Decrypt(handles.provider, handles.key, input.data(), static_cast<DWORD>(input.size()), nullptr,
                       output.data(), static_cast<DWORD>(output.size()), &result, flags);
    }
    bool OutputUntouched() const {
        return std::all_of(output.begin(), output.end(), [](BYTE b) { return b == kFill; });
    }
};

const std::vector<std::string> kDecryptCalls = CallsWith(
    {"Acquire", "GetUserKey", "GetKeyParam", "HeapAlloc", "Decrypt", "DestroyKey", "ReleaseContext", "HeapFree"});
const std::vector<std::string> kOpenAndClose =
    CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "DestroyKey", "ReleaseContext"});

TEST_F(DecryptionTest, DecryptsReversedBlockAndCopiesPlaintextAsItIs) {
    fakeCapi.output = {'s', 'e', 'c', 'r', 'e', 't'};
    ASSERT_EQ(ERROR_SUCCESS, Decrypt256(NCRYPT_PAD_PKCS1_FLAG | NCRYPT_SILENT_FLAG));
    EXPECT_EQ(6u, result);
    EXPECT_EQ(kDecryptCalls, fakeCapi.calls);

    std::vector<BYTE> reversed(input.rbegin(), input.rend());
    EXPECT_EQ(reversed, fakeCapi.decryptInput);
    EXPECT_EQ(256u, fakeCapi.lengthOnEntry);
    EXPECT_EQ(fakeCapi.output, std::vector<BYTE>(output.begin(), output.begin() + 6));
    EXPECT_TRUE(std::all_of(output.begin() + 6, output.end(), [](BYTE b) { return b == kFill; }));

    EXPECT_EQ(0u, fakeCapi.acquireFlags);
    EXPECT_EQ(0u, fakeCapi.decryptFlags);
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), fakeCapi.providerType);
    EXPECT_EQ(L"Fake CSP", fakeCapi.providerName);
    EXPECT_EQ(L"fake-container", fakeCapi.container);
    EXPECT_EQ(static_cast<DWORD>(AT_KEYEXCHANGE), fakeCapi.keySpec);

    const std::vector<std::string> expected = {"Call to decrypt", "Validation 1 OK",
                                               "Validation 2 OK - cbInput: 256, cbOutput: 256",
                                               "Validation 3 OK - block length: 256"};
    EXPECT_EQ(expected, CapturedLogLines());
}

TEST_F(DecryptionTest, WholeWorkBufferIsWipedBeforeItIsFreed) {
    fakeCapi.output.assign(32, 0x77);
    ASSERT_EQ(ERROR_SUCCESS, Decrypt256());
    EXPECT_TRUE(fakeCapi.workFreed);
    EXPECT_TRUE(fakeCapi.workZeroAtFree);

    // Also when CAPI fails: it may have left the raw decrypted block behind.
    fakeCapi = FakeCapiState{};
    fakeCapi.failCall = "Decrypt";
    EXPECT_NE(ERROR_SUCCESS, Decrypt256());
    EXPECT_TRUE(fakeCapi.workFreed);
    EXPECT_TRUE(fakeCapi.workZeroAtFree);
}

TEST_F(DecryptionTest, OutputMayBeTheInputBuffer) {
    fakeCapi.output = {9, 8, 7};
    const std::vector<BYTE> original = input;
    ASSERT_EQ(ERROR_SUCCESS, Decrypt(handles.provider, handles.key, input.data(), 256, nullptr, input.data(), 256,
                                     &result, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(std::vector<BYTE>(original.rbegin(), original.rend()), fakeCapi.decryptInput);
    EXPECT_EQ(3u, result);
    EXPECT_EQ(9, input[0]);
    EXPECT_EQ(7, input[2]);
    EXPECT_EQ(original[3], input[3]);
}

TEST_F(DecryptionTest, EveryAcceptedFlagWordDecryptsTheSameWay) {
    for (DWORD flags : {0x0u, 0x1u, 0x2u, 0x4u, 0x7u, 0x42u, 0x47u}) {
        fakeCapi = FakeCapiState{};
        fakeCapi.output = {1, 2};
        output.assign(256, kFill);
        EXPECT_EQ(ERROR_SUCCESS, Decrypt256(flags)) << flags;
        EXPECT_EQ(0u, fakeCapi.decryptFlags) << flags;
        EXPECT_EQ(0u, fakeCapi.acquireFlags) << flags;
        EXPECT_EQ(kDecryptCalls, fakeCapi.calls) << flags;
    }
}

TEST_F(DecryptionTest, SizeQueryAnswersTheBlockLengthWhateverTheSizes) {
    for (DWORD cbOutput : {0u, 17u, 256u, 4096u}) {
        fakeCapi = FakeCapiState{};
        ClearCapturedLog();
        result = kUntouched;
        EXPECT_EQ(ERROR_SUCCESS,
                  Decrypt(handles.provider, handles.key, input.data(), 3, nullptr, nullptr, cbOutput, &result, 0));
        EXPECT_EQ(256u, result);
        EXPECT_EQ(kOpenAndClose, fakeCapi.calls);
        const std::vector<std::string> lines = CapturedLogLines();
        ASSERT_EQ(4u, lines.size());
        EXPECT_EQ("Validation 2 OK - cbInput: 3, cbOutput: " + std::to_string(cbOutput), lines[2]);
        EXPECT_EQ("Validation 3 OK - block length: 256", lines[3]);
    }
}

TEST_F(DecryptionTest, RefusalsBeforeCapi) {
    struct Row {
        const char *what;
        SECURITY_STATUS status;
        const char *lastLine;
        NCRYPT_PROV_HANDLE provider;
        NCRYPT_KEY_HANDLE key;
        bool nullInput;
        DWORD cbInput;
        bool nullResult;
        DWORD flags;
        std::uint32_t usage;
    };
    const NCRYPT_PROV_HANDLE p = handles.provider;
    const NCRYPT_KEY_HANDLE k = handles.key;
    const char *called = "Call to decrypt";
    const Row rows[] = {
        {"null provider", NTE_INVALID_HANDLE, called, 0, k, false, 256, false, 2, 3},
        {"null key", NTE_INVALID_HANDLE, called, p, 0, false, 256, false, 2, 3},
        {"provider as key", NTE_INVALID_HANDLE, called, p, static_cast<NCRYPT_KEY_HANDLE>(p), true, 0, true, 2, 3},
        {"null input", NTE_INVALID_PARAMETER, called, p, k, true, 256, false, 2, 3},
        {"empty input", NTE_INVALID_PARAMETER, called, p, k, false, 0, false, 2, 3},
        {"null result", NTE_INVALID_PARAMETER, called, p, k, false, 256, true, 2, 3},
        {"PSS flag", NTE_BAD_FLAGS, called, p, k, false, 256, false, 0x8, 3},
        {"flag 0x100", NTE_BAD_FLAGS, called, p, k, false, 256, false, 0x102, 3},
        {"no decrypt usage", NTE_PERM, "Validation 1 OK", p, k, false, 256, false, 2, 2},
    };
    for (const Row &row : rows) {
        fakeCapi = FakeCapiState{};
        ClearCapturedLog();
        handles.record()->keyUsage = row.usage;
        result = kUntouched;
        EXPECT_EQ(row.status, Decrypt(row.provider, row.key, row.nullInput ? nullptr : input.data(), row.cbInput,
                                      nullptr, output.data(), 256, row.nullResult ? nullptr : &result, row.flags))
            << row.what;
        EXPECT_EQ(row.lastLine, LastLogLine()) << row.what;
        EXPECT_TRUE(fakeCapi.calls.empty()) << row.what;
        EXPECT_EQ(kUntouched, result) << row.what;
        EXPECT_TRUE(OutputUntouched()) << row.what;
    }
}

TEST_F(DecryptionTest, KeyOpenedWithoutTheOpenedFlagStillDecrypts) {
    handles.record()->opened = 0;
    fakeCapi.output = {1};
    EXPECT_EQ(ERROR_SUCCESS, Decrypt256());
}

TEST_F(DecryptionTest, FailuresReleaseWhatWasObtained) {
    struct Row {
        const char *what;
        const char *failCall;
        DWORD cbInput;
        DWORD cbOutput;
        DWORD reportedLength;
        SECURITY_STATUS status;
        const char *lastLine;
        std::vector<std::string> calls;
    };
    const char *blockLine = "Validation 3 OK - block length: 256";
    const auto bad = static_cast<SECURITY_STATUS>(NTE_BAD_DATA);
    const Row rows[] = {
        {"acquire", "Acquire", 256, 256, 0, NTE_PROVIDER_DLL_FAIL, "Failed to acquire context",
         CallsWith({"Acquire"})},
        {"user key", "GetUserKey", 256, 256, 0, NTE_PROVIDER_DLL_FAIL, "Failed to acquire key",
         CallsWith({"Acquire", "GetUserKey", "ReleaseContext"})},
        {"key param", "GetKeyParam", 256, 256, 0, NTE_PROVIDER_DLL_FAIL, "Failed to acquire key param",
         kOpenAndClose},
        {"input short", "", 255, 256, 0, NTE_INVALID_PARAMETER, blockLine, kOpenAndClose},
        {"output long", "", 256, 257, 0, NTE_INVALID_PARAMETER, blockLine, kOpenAndClose},
        {"output short", "", 256, 255, 0, NTE_INVALID_PARAMETER, blockLine, kOpenAndClose},
        {"no memory", "HeapAlloc", 256, 256, 0, NTE_NO_MEMORY, blockLine,
         CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "HeapAlloc", "DestroyKey", "ReleaseContext"})},
        {"decrypt", "Decrypt", 256, 256, 0, bad, "Decryption failed", kDecryptCalls},
        {"plaintext longer than block", "", 256, 256, 257, NTE_PROVIDER_DLL_FAIL, "Decryption failed",
         kDecryptCalls},
    };
    for (const Row &row : rows) {
        fakeCapi = FakeCapiState{};
        fakeCapi.failCall = row.failCall;
        fakeCapi.failError = static_cast<DWORD>(NTE_BAD_DATA);
        fakeCapi.output.assign(16, 0x44);
        fakeCapi.reportedLength = row.reportedLength;
        ClearCapturedLog();
        result = kUntouched;
        std::vector<BYTE> in(row.cbInput, 0x10);
        std::vector<BYTE> out(std::max<DWORD>(row.cbOutput, 512), kFill);
        EXPECT_EQ(row.status, Decrypt(handles.provider, handles.key, in.data(), row.cbInput, nullptr, out.data(),
                                      row.cbOutput, &result, NCRYPT_PAD_PKCS1_FLAG))
            << row.what;
        EXPECT_EQ(row.lastLine, LastLogLine()) << row.what;
        EXPECT_EQ(row.calls, fakeCapi.calls) << row.what;
        EXPECT_EQ(kUntouched, result) << row.what;
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](BYTE b) { return b == kFill; })) << row.what;
    }
}

TEST_F(DecryptionTest, DecryptFailurePassesAnyLastErrorOnButNeverReadsAsSuccess) {
    for (const auto &[error, status] : kOperationFailures) {
        fakeCapi = FakeCapiState{};
        fakeCapi.failCall = "Decrypt";
        fakeCapi.failError = error;
        ClearCapturedLog();
        result = kUntouched;
        EXPECT_EQ(status, Decrypt256()) << error;
        EXPECT_EQ("Decryption failed", LastLogLine()) << error;
        EXPECT_EQ(kUntouched, result) << error;
        EXPECT_TRUE(OutputUntouched()) << error;
    }
}

}  // namespace
