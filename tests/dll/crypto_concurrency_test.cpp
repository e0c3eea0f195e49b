// Many threads signing and decrypting with one key handle against Wine's real CAPI.
#include "crypto_container.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

using namespace crypto_dll;

constexpr int kThreads = 8;
constexpr int kRoundsPerThread = 200;
constexpr int kEmulatedRoundsPerThread = 25;

TEST(RealCapiConcurrency, EightThreadsShareOneKeyHandle) {
    ASSERT_TRUE(Container().ready);
    ProviderSession session(Container().name);
    ASSERT_TRUE(session.ok());

    // PKCS #1 v1.5 signatures are deterministic, so one reference verified by BCrypt checks them all.
    const std::vector<BYTE> hash(20, 0x3C);
    std::vector<BYTE> reference(kKeyBytes);
    DWORD length = 0;
    ASSERT_EQ(ERROR_SUCCESS, session.Sign(BCRYPT_SHA1_ALGORITHM, hash, reference.data(), kKeyBytes, &length));
    ASSERT_TRUE(VerifiesWithBCrypt(hash, reference));

    std::vector<std::vector<BYTE>> messages;
    std::vector<std::vector<BYTE>> ciphertexts;
    for (int t = 0; t < kThreads; ++t) {
        messages.emplace_back(24 + t, static_cast<BYTE>(0x41 + t));
        ciphertexts.push_back(EncryptWithCapi(messages.back()));
        ASSERT_EQ(kKeyBytes, ciphertexts.back().size());
    }

    const bool takeTurns = Emulated32BitThreads();
    const int rounds = takeTurns ? kEmulatedRoundsPerThread : kRoundsPerThread;

    std::atomic<int> signFailures{0};
    std::atomic<int> decryptFailures{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<BYTE> signature(kKeyBytes);
            std::vector<BYTE> plaintext(kKeyBytes);
            std::vector<BYTE> ciphertext = ciphertexts[t];
            for (int i = 0; i < rounds; ++i) {
                DWORD written = 0;
                if (session.Sign(BCRYPT_SHA1_ALGORITHM, hash, signature.data(), kKeyBytes, &written) !=
                        ERROR_SUCCESS ||
                    written != kKeyBytes || signature != reference) {
                    ++signFailures;
                }
                DWORD plain = 0;
                if (session.Decrypt(ciphertext.data(), kKeyBytes, plaintext.data(), kKeyBytes, &plain) !=
                        ERROR_SUCCESS ||
                    plain != messages[t].size() ||
                    !std::equal(messages[t].begin(), messages[t].end(), plaintext.begin())) {
                    ++decryptFailures;
                }
            }
        });
        if (takeTurns) {
            threads.back().join();
        }
    }
    for (std::thread &thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(0, signFailures.load());
    EXPECT_EQ(0, decryptFailures.load());
    RecordProperty("seconds", std::to_string(seconds));
    std::printf("%d threads%s x %d signatures and decryptions: %.1f s\n", kThreads,
                takeTurns ? " (taking turns under qemu)" : "", rounds, seconds);
}

}  // namespace
