#include "fake_capi.h"

#include <numeric>

namespace {

using namespace capi_fake;

constexpr DWORD kUntouched = 0xDEADBEEF;
constexpr BYTE kFill = 0xEE;

class SigningTest : public ::testing::Test {
protected:
    TestHandles handles;
    FakeCapiScope capi;

    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    std::vector<BYTE> hashValue = std::vector<BYTE>(32, 0x11);
    std::vector<BYTE> signature = std::vector<BYTE>(256, kFill);
    DWORD result = kUntouched;

    SECURITY_STATUS Sign(DWORD flags = NCRYPT_PAD_PKCS1_FLAG) {
        return SignHash(handles.provider, handles.key, &padding, hashValue.data(),
                        static_cast<DWORD>(hashValue.size()), signature.data(),
                        static_cast<DWORD>(signature.size()), &result, flags);
    }
    bool SignatureUntouched() const {
        return std::all_of(signature.begin(), signature.end(), [](BYTE b) { return b == kFill; });
    }
};

const std::vector<std::string> kSignCalls = CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "CreateHash",
                                                       "GetHashParam", "SetHashParam", "HeapAlloc", "SignHash",
                                                       "DestroyHash", "DestroyKey", "ReleaseContext", "HeapFree"});

TEST_F(SigningTest, SignsThroughCapiAndReversesTheSignature) {
    std::vector<BYTE> littleEndian(256);
    std::iota(littleEndian.begin(), littleEndian.end(), BYTE{0});
    fakeCapi.output = littleEndian;

    ASSERT_EQ(ERROR_SUCCESS, Sign(NCRYPT_PAD_PKCS1_FLAG | NCRYPT_SILENT_FLAG));
    EXPECT_EQ(256u, result);
    EXPECT_EQ(kSignCalls, fakeCapi.calls);
    for (std::size_t i = 0; i < 256; ++i) {
        ASSERT_EQ(littleEndian[255 - i], signature[i]) << i;
    }
    // The silent flag stays with the provider; CAPI sees flags 0 and the handle records' names.
    EXPECT_EQ(0u, fakeCapi.acquireFlags);
    EXPECT_EQ(0u, fakeCapi.signFlags);
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), fakeCapi.providerType);
    EXPECT_EQ(L"Fake CSP", fakeCapi.providerName);
    EXPECT_EQ(L"fake-container", fakeCapi.container);
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), fakeCapi.keySpec);
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), fakeCapi.signKeySpec);
    EXPECT_EQ(256u, fakeCapi.lengthOnEntry);
    EXPECT_EQ(hashValue, fakeCapi.hashValue);

    std::vector<std::string> expected = {"Received a signing request"};
    for (int i = 1; i <= 6; ++i) {
        expected.push_back("Validation " + std::to_string(i));
    }
    expected.push_back("Validation 7: 256");
    for (int i = 8; i <= 14; ++i) {
        expected.push_back("Validation " + std::to_string(i));
    }
    EXPECT_EQ(expected, CapturedLogLines());
}

TEST_F(SigningTest, EachHashAlgorithmReachesCapiWithItsIdentifierAndSize) {
    struct Row {
        const wchar_t *name;
        ALG_ID algorithm;
        std::size_t size;
    };
    const Row rows[] = {
        {L"SHA512", CALG_SHA_512, 64},
        {L"SHA384", CALG_SHA_384, 48},
        {L"SHA256", CALG_SHA_256, 32},
        {L"SHA1", CALG_SHA1, 20},
    };
    for (const Row &row : rows) {
        fakeCapi = FakeCapiState{};
        fakeCapi.output.assign(256, 0x5A);
        padding.pszAlgId = row.name;
        hashValue.assign(row.size, 0x42);
        EXPECT_EQ(ERROR_SUCCESS, Sign()) << Narrow(row.name);
        EXPECT_EQ(row.algorithm, fakeCapi.hashAlgorithm) << Narrow(row.name);
        EXPECT_EQ(hashValue, fakeCapi.hashValue) << Narrow(row.name);
        EXPECT_EQ(kSignCalls, fakeCapi.calls) << Narrow(row.name);
    }
}

TEST_F(SigningTest, ResultLengthIsTheOneCapiReports) {
    fakeCapi.output = {1, 2, 3};
    ASSERT_EQ(ERROR_SUCCESS, Sign());
    EXPECT_EQ(3u, result);
    EXPECT_EQ(3, signature[0]);
    EXPECT_EQ(1, signature[2]);
    EXPECT_EQ(kFill, signature[3]);
}

TEST_F(SigningTest, SizeQueryOpensTheKeyButCreatesNoHash) {
    result = kUntouched;
    ASSERT_EQ(ERROR_SUCCESS, SignHash(handles.provider, handles.key, &padding, hashValue.data(), 32, nullptr, 0,
                                      &result, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(256u, result);
    EXPECT_EQ(CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "DestroyKey", "ReleaseContext"}), fakeCapi.calls);
    EXPECT_EQ("Validation 7: 256", LastLogLine());
}

TEST_F(SigningTest, ShortBufferGetsTheSizeAndNoWrite) {
    signature.resize(255, kFill);
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, Sign());
    EXPECT_EQ(256u, result);
    EXPECT_TRUE(SignatureUntouched());
    EXPECT_EQ(CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "DestroyKey", "ReleaseContext"}), fakeCapi.calls);
    EXPECT_EQ("Validation 7: 256", LastLogLine());
}

// Every refusal before the CAPI provider is opened: status, last line, and not one CAPI call.
TEST_F(SigningTest, RefusalsBeforeCapi) {
    struct Row {
        const char *what;
        SECURITY_STATUS status;
        const char *lastLine;
        NCRYPT_PROV_HANDLE provider;
        NCRYPT_KEY_HANDLE key;
        bool nullResult;
        DWORD flags;
        std::uint32_t opened;
        std::uint32_t usage;
        bool nullHash;
        DWORD hashLength;
        bool nullPadding;
        const wchar_t *algorithm;
    };
    const NCRYPT_PROV_HANDLE p = handles.provider;
    const NCRYPT_KEY_HANDLE k = handles.key;
    const NCRYPT_KEY_HANDLE asKey = static_cast<NCRYPT_KEY_HANDLE>(p);
    const DWORD pk = NCRYPT_PAD_PKCS1_FLAG;
    const wchar_t *s256 = L"SHA256";
    const char *received = "Received a signing request";
    const Row rows[] = {
        {"null provider", NTE_INVALID_HANDLE, received, 0, k, false, pk, 1, 3, false, 32, false, s256},
        {"key as provider", NTE_INVALID_HANDLE, received, static_cast<NCRYPT_PROV_HANDLE>(k), k, false, pk, 1, 3,
         false, 32, false, s256},
        {"provider as key, no result", NTE_INVALID_HANDLE, received, p, asKey, true, pk, 1, 3, false, 32, false,
         s256},
        {"no result", NTE_INVALID_PARAMETER, received, p, k, true, pk, 1, 3, false, 32, false, s256},
        {"flag 0x01", NTE_BAD_FLAGS, received, p, k, false, 0x01, 1, 3, false, 32, false, s256},
        {"flag 0x03", NTE_BAD_FLAGS, received, p, k, false, 0x03, 1, 3, false, 32, false, s256},
        {"flag 0x04", NTE_BAD_FLAGS, received, p, k, false, 0x04, 1, 3, false, 32, false, s256},
        {"flag 0x80", NTE_BAD_FLAGS, received, p, k, false, 0x82, 1, 3, false, 32, false, s256},
        {"not opened", NTE_BAD_KEY_STATE, "Validation 1", p, k, false, pk, 0, 3, false, 32, false, s256},
        {"no signing usage", NTE_PERM, "Validation 2", p, k, false, pk, 1, 1, false, 32, false, s256},
        {"no hash", NTE_INVALID_PARAMETER, "Validation 3", p, k, false, pk, 1, 3, true, 32, false, s256},
        {"hash length 0", NTE_INVALID_PARAMETER, "Validation 3", p, k, false, pk, 1, 3, false, 0, false, s256},
        {"PSS and no hash", NTE_INVALID_PARAMETER, "Validation 3", p, k, false, 0x0A, 1, 3, true, 32, false, s256},
        {"flags 0", NTE_BAD_FLAGS, "Validation 4", p, k, false, 0, 1, 3, false, 32, false, s256},
        {"silent only", NTE_BAD_FLAGS, "Validation 4", p, k, false, 0x40, 1, 3, false, 32, false, s256},
        {"PSS", NTE_BAD_FLAGS, "Validation 4", p, k, false, 0x08, 1, 3, false, 32, false, s256},
        {"PKCS1 and PSS", NTE_BAD_FLAGS, "Validation 4", p, k, false, 0x0A, 1, 3, false, 32, false, s256},
        {"no padding info", NTE_INVALID_PARAMETER, "Validation 4", p, k, false, pk, 1, 3, false, 32, true, s256},
        {"no algorithm", NTE_INVALID_PARAMETER, "Validation 4", p, k, false, pk, 1, 3, false, 32, false, nullptr},
        {"lower case", NTE_INVALID_PARAMETER, "Validation 4", p, k, false, pk, 1, 3, false, 32, false, L"sha256"},
        {"hyphen", NTE_INVALID_PARAMETER, "Validation 4", p, k, false, pk, 1, 3, false, 32, false, L"SHA-256"},
        {"MD5", NTE_INVALID_PARAMETER, "Validation 4", p, k, false, pk, 1, 3, false, 16, false, L"MD5"},
        {"SHA224", NTE_INVALID_PARAMETER, "Validation 4", p, k, false, pk, 1, 3, false, 28, false, L"SHA224"},
        {"prefix of a name", NTE_INVALID_PARAMETER, "Validation 4", p, k, false, pk, 1, 3, false, 32, false,
         L"SHA"},
        {"trailing space", NTE_INVALID_PARAMETER, "Validation 4", p, k, false, pk, 1, 3, false, 20, false,
         L"SHA1 "},
    };
    for (const Row &row : rows) {
        fakeCapi = FakeCapiState{};
        ClearCapturedLog();
        handles.record()->opened = row.opened;
        handles.record()->keyUsage = row.usage;
        BCRYPT_PKCS1_PADDING_INFO info{row.algorithm};
        std::vector<BYTE> hash(row.hashLength, 0x11);
        result = kUntouched;
        const SECURITY_STATUS status =
            SignHash(row.provider, row.key, row.nullPadding ? nullptr : &info, row.nullHash ? nullptr : hash.data(),
                     row.hashLength, signature.data(), 256, row.nullResult ? nullptr : &result, row.flags);
        EXPECT_EQ(row.status, status) << row.what;
        EXPECT_EQ(row.lastLine, LastLogLine()) << row.what;
        EXPECT_TRUE(fakeCapi.calls.empty()) << row.what;
        EXPECT_EQ(kUntouched, result) << row.what;
        EXPECT_TRUE(SignatureUntouched()) << row.what;
    }
}

// Every failure once CAPI is involved: status, last line, and exactly what was released, in order.
TEST_F(SigningTest, CapiFailuresReleaseWhatWasObtained) {
    struct Row {
        const char *failCall;
        SECURITY_STATUS status;
        const char *lastLine;
        std::vector<std::string> calls;
    };
    const Row rows[] = {
        {"Acquire", NTE_PROVIDER_DLL_FAIL, "Failed to acquire context", CallsWith({"Acquire"})},
        {"GetUserKey", NTE_PROVIDER_DLL_FAIL, "Failed to acquire user key",
         CallsWith({"Acquire", "GetUserKey", "ReleaseContext"})},
        {"GetKeyParam", NTE_PROVIDER_DLL_FAIL, "Failed to get key param",
         CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "DestroyKey", "ReleaseContext"})},
        {"CreateHash", NTE_PROVIDER_DLL_FAIL, "Failed to create hash",
         CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "CreateHash", "DestroyKey", "ReleaseContext"})},
        {"GetHashParam", NTE_PROVIDER_DLL_FAIL, "Failed to get hash param",
         CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "CreateHash", "GetHashParam", "DestroyHash",
                    "DestroyKey", "ReleaseContext"})},
        {"SetHashParam", NTE_PROVIDER_DLL_FAIL, "Failed to set hash param",
         CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "CreateHash", "GetHashParam", "SetHashParam",
                    "DestroyHash", "DestroyKey", "ReleaseContext"})},
        {"HeapAlloc", NTE_NO_MEMORY, "Validation 12",
         CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "CreateHash", "GetHashParam", "SetHashParam",
                    "HeapAlloc", "DestroyHash", "DestroyKey", "ReleaseContext"})},
        // The signature's own failure hands on CAPI's error, whatever it is.
        {"SignHash", static_cast<SECURITY_STATUS>(NTE_BAD_KEYSET), "Failed to sign", kSignCalls},
    };
    for (const Row &row : rows) {
        fakeCapi = FakeCapiState{};
        fakeCapi.failCall = row.failCall;
        fakeCapi.failError = static_cast<DWORD>(NTE_BAD_KEYSET);
        ClearCapturedLog();
        result = kUntouched;
        EXPECT_EQ(row.status, Sign()) << row.failCall;
        EXPECT_EQ(row.lastLine, LastLogLine()) << row.failCall;
        EXPECT_EQ(row.calls, fakeCapi.calls) << row.failCall;
        EXPECT_EQ(kUntouched, result) << row.failCall;
        EXPECT_TRUE(SignatureUntouched()) << row.failCall;
    }
}

TEST_F(SigningTest, SignFailurePassesAnyLastErrorOnButNeverReadsAsSuccess) {
    for (const auto &[error, status] : kOperationFailures) {
        fakeCapi = FakeCapiState{};
        fakeCapi.failCall = "SignHash";
        fakeCapi.failError = error;
        ClearCapturedLog();
        result = kUntouched;
        EXPECT_EQ(status, Sign()) << error;
        EXPECT_EQ("Failed to sign", LastLogLine()) << error;
        EXPECT_EQ(kUntouched, result) << error;
        EXPECT_TRUE(SignatureUntouched()) << error;
    }
}

TEST_F(SigningTest, HashSizeMismatchesAreRefusedAfterValidation10) {
    struct Row {
        const char *what;
        const wchar_t *algorithm;
        std::size_t given;
        DWORD capiSize;
        DWORD capiSizeLength;
    };
    const Row rows[] = {
        {"SHA1 with 32 bytes", L"SHA1", 32, 0, 4},
        {"SHA256 with 64 bytes (not cut)", L"SHA256", 64, 0, 4},
        {"SHA256 with 20 bytes", L"SHA256", 20, 0, 4},
        {"CAPI size differs from table", L"SHA256", 20, 20, 4},
        {"CAPI size length not 4", L"SHA256", 32, 0, 8},
    };
    for (const Row &row : rows) {
        fakeCapi = FakeCapiState{};
        fakeCapi.hashSize = row.capiSize;
        fakeCapi.hashSizeLength = row.capiSizeLength;
        ClearCapturedLog();
        padding.pszAlgId = row.algorithm;
        hashValue.assign(row.given, 0x11);
        result = kUntouched;
        EXPECT_EQ(NTE_INVALID_PARAMETER, Sign()) << row.what;
        EXPECT_EQ("Validation 10", LastLogLine()) << row.what;
        EXPECT_EQ(CallsWith({"Acquire", "GetUserKey", "GetKeyParam", "CreateHash", "GetHashParam", "DestroyHash",
                             "DestroyKey", "ReleaseContext"}),
                  fakeCapi.calls)
            << row.what;
        EXPECT_EQ(kUntouched, result) << row.what;
    }
}

// A provider reporting more signature than the buffer it was handed must not make us copy past it.
TEST_F(SigningTest, OversizedSignatureLengthIsAFailureNotACopy) {
    fakeCapi.output.assign(256, 0x33);
    fakeCapi.reportedLength = 257;
    signature.resize(1024, kFill);
    EXPECT_EQ(NTE_PROVIDER_DLL_FAIL, Sign());
    EXPECT_EQ("Failed to sign", LastLogLine());
    EXPECT_EQ(kSignCalls, fakeCapi.calls);
    EXPECT_EQ(kUntouched, result);
    EXPECT_TRUE(SignatureUntouched());
}

TEST_F(SigningTest, KeyLengthFollowsCapiBlockLength) {
    fakeCapi.blockBits = 1027;  // a remainder is dropped: 128 bytes
    fakeCapi.output.assign(128, 0x01);
    ASSERT_EQ(ERROR_SUCCESS, Sign());  // into the fixture's 256-byte buffer: CAPI is told the key's size
    EXPECT_EQ(128u, result);
    EXPECT_EQ(128u, fakeCapi.lengthOnEntry);
}

}  // namespace
