// Signing and decryption through the loaded DLL against Wine's real CAPI provider.
#include "crypto_container.h"

#include <algorithm>

namespace {

using namespace crypto_dll;

const std::vector<BYTE> kSha1Hash = {0xA9, 0x99, 0x3E, 0x36, 0x47, 0x06, 0x81, 0x6A, 0xBA, 0x3E,
                                     0x25, 0x71, 0x78, 0x50, 0xC2, 0x6C, 0x9C, 0xD0, 0xD8, 0x9D};

std::vector<BYTE> Message(std::size_t size) {
    std::vector<BYTE> message(size);
    for (std::size_t i = 0; i < size; ++i) {
        message[i] = static_cast<BYTE>(0x30 + i * 7);
    }
    return message;
}

class RealCapiTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Container().ready); }
};

TEST_F(RealCapiTest, Sha1SignatureVerifiesIndependently) {
    ProviderSession session(Container().name);
    ASSERT_TRUE(session.ok());

    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, session.Sign(BCRYPT_SHA1_ALGORITHM, kSha1Hash, nullptr, 0, &size));
    EXPECT_EQ(kKeyBytes, size);

    std::vector<BYTE> signature(kKeyBytes + 8, 0xEE);
    DWORD written = 0;
    ASSERT_EQ(ERROR_SUCCESS, session.Sign(BCRYPT_SHA1_ALGORITHM, kSha1Hash, signature.data(),
                                          static_cast<DWORD>(signature.size()), &written));
    ASSERT_EQ(kKeyBytes, written);
    EXPECT_EQ(0xEE, signature[kKeyBytes]);
    signature.resize(written);
    EXPECT_TRUE(VerifiesWithBCrypt(kSha1Hash, signature));

    // The check itself must be able to fail: a reversed (CAPI-order) signature does not verify.
    std::vector<BYTE> littleEndian(signature.rbegin(), signature.rend());
    EXPECT_FALSE(VerifiesWithBCrypt(kSha1Hash, littleEndian));
}

TEST_F(RealCapiTest, ShortSignatureBufferAnswersTheKeySize) {
    ProviderSession session(Container().name);
    ASSERT_TRUE(session.ok());
    std::vector<BYTE> signature(kKeyBytes - 1, 0xEE);
    DWORD size = 0;
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, session.Sign(BCRYPT_SHA1_ALGORITHM, kSha1Hash, signature.data(),
                                                 static_cast<DWORD>(signature.size()), &size));
    EXPECT_EQ(kKeyBytes, size);
    EXPECT_TRUE(std::all_of(signature.begin(), signature.end(), [](BYTE b) { return b == 0xEE; }));
}

// Wine's rsaenh has no SHA-2 under PROV_RSA_FULL: the size query still succeeds (no hash object is
// made for it), the signature itself stops at CryptCreateHash.
TEST_F(RealCapiTest, Sha256StopsAtCreateHash) {
    ProviderSession session(Container().name);
    ASSERT_TRUE(session.ok());
    const std::vector<BYTE> hash(32, 0x5C);
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, session.Sign(BCRYPT_SHA256_ALGORITHM, hash, nullptr, 0, &size));
    EXPECT_EQ(kKeyBytes, size);

    std::vector<BYTE> signature(kKeyBytes, 0xEE);
    DWORD written = 0xDEADBEEF;
    EXPECT_EQ(NTE_PROVIDER_DLL_FAIL,
              session.Sign(BCRYPT_SHA256_ALGORITHM, hash, signature.data(), kKeyBytes, &written));
    EXPECT_EQ(0xDEADBEEFu, written);
}

TEST_F(RealCapiTest, DecryptsCapiCiphertextLeavingTheRestOfTheBuffer) {
    ProviderSession session(Container().name);
    ASSERT_TRUE(session.ok());
    const std::vector<BYTE> message = Message(32);
    std::vector<BYTE> ciphertext = EncryptWithCapi(message);
    ASSERT_EQ(kKeyBytes, ciphertext.size());

    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, session.Decrypt(ciphertext.data(), kKeyBytes, nullptr, 0, &size));
    EXPECT_EQ(kKeyBytes, size);

    std::vector<BYTE> output(kKeyBytes, 0xEE);
    DWORD length = 0;
    ASSERT_EQ(ERROR_SUCCESS, session.Decrypt(ciphertext.data(), kKeyBytes, output.data(), kKeyBytes, &length));
    ASSERT_EQ(message.size(), length);
    EXPECT_TRUE(std::equal(message.begin(), message.end(), output.begin()));
    EXPECT_TRUE(std::all_of(output.begin() + 32, output.end(), [](BYTE b) { return b == 0xEE; }));

    // Same block, decrypted over itself.
    std::vector<BYTE> inPlace = ciphertext;
    ASSERT_EQ(ERROR_SUCCESS, session.Decrypt(inPlace.data(), kKeyBytes, inPlace.data(), kKeyBytes, &length));
    ASSERT_EQ(message.size(), length);
    EXPECT_TRUE(std::equal(message.begin(), message.end(), inPlace.begin()));
    EXPECT_TRUE(std::equal(inPlace.begin() + 32, inPlace.end(), ciphertext.begin() + 32));
}

TEST_F(RealCapiTest, DecryptRefusesBlocksOfTheWrongSizeAndPassesCapiErrorsOn) {
    ProviderSession session(Container().name);
    ASSERT_TRUE(session.ok());
    std::vector<BYTE> ciphertext = EncryptWithCapi(Message(16));
    ASSERT_EQ(kKeyBytes, ciphertext.size());
    std::vector<BYTE> output(kKeyBytes + 1, 0xEE);
    DWORD length = 0xDEADBEEF;
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              session.Decrypt(ciphertext.data(), kKeyBytes, output.data(), kKeyBytes + 1, &length));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              session.Decrypt(ciphertext.data(), kKeyBytes - 1, output.data(), kKeyBytes, &length));
    EXPECT_EQ(0xDEADBEEFu, length);

    // A corrupted block fails inside CryptDecrypt, whose own error comes back.
    ciphertext[0] ^= 0x5A;
    ciphertext[kKeyBytes / 2] ^= 0xA5;
    const SECURITY_STATUS status = session.Decrypt(ciphertext.data(), kKeyBytes, output.data(), kKeyBytes, &length);
    EXPECT_NE(ERROR_SUCCESS, status);
    EXPECT_NE(NTE_PROVIDER_DLL_FAIL, status);
    EXPECT_EQ(0xDEADBEEFu, length);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](BYTE b) { return b == 0xEE; }));
}

TEST_F(RealCapiTest, MissingContainerFailsBothOperations) {
    ProviderSession session(Container().name + L"-absent");
    ASSERT_TRUE(session.ok());
    std::vector<BYTE> block(kKeyBytes, 0x01);
    DWORD size = 0xDEADBEEF;
    EXPECT_EQ(NTE_PROVIDER_DLL_FAIL, session.Sign(BCRYPT_SHA1_ALGORITHM, kSha1Hash, nullptr, 0, &size));
    EXPECT_EQ(NTE_PROVIDER_DLL_FAIL, session.Decrypt(block.data(), kKeyBytes, nullptr, 0, &size));
    EXPECT_EQ(0xDEADBEEFu, size);
}

}  // namespace
