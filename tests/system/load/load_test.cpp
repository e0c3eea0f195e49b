// Sixteen threads share one provider handle and one key handle of the real DLL for thirty seconds,
// mixing signing, decryption and property reads against Wine's CAPI, with the trace log on. Runs in
// a prefix of its own, so the log file holds this process's lines alone.
#include "system_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace {

constexpr int kDefaultThreads = 16;
// QUORV_LOAD_THREADS lowers the count where the 32-bit build runs under qemu-user, which crashes when
// threads of a 32-bit Wine process start at the same moment, as these do (four threads running a plain
// HeapAlloc loop, created back to back, already kill it).
int EnvNumber(const char *name, int fallback) {
    char text[32] = {};
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof(text));
    return length > 0 && length < sizeof(text) ? std::atoi(text) : fallback;
}
const int kThreads = EnvNumber("QUORV_LOAD_THREADS", kDefaultThreads);

constexpr auto kDuration = std::chrono::seconds(30);
const wchar_t kContainer[] = L"QuorvLoadKey";
constexpr int kCiphertexts = 8;

// Lines each operation writes when it succeeds.
constexpr int kSignLines = 15;     // request, "Validation 1" to "Validation 14"
constexpr int kDecryptLines = 4;   // call, "Validation 1 OK" to "Validation 3 OK"
constexpr int kKeyPropertyLines = 1;

struct Counts {
    std::atomic<int> signs{0};
    std::atomic<int> decryptions{0};
    std::atomic<int> keyProperties{0};
    std::atomic<int> providerProperties{0};
    std::atomic<int> failures{0};
};

std::vector<std::string> ReadLines(const std::wstring &path, bool *whole) {
    std::ifstream file(path.c_str(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    *whole = text.empty() || text.back() == '\n';
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool IsWholeLine(const std::string &line) {
    // "[YYYY-MM-DD HH:MM:SS] " then the message, no carriage return.
    static const char kShape[] = "[dddd-dd-dd dd:dd:dd] ";
    if (line.size() < 22 || line.find('\r') != std::string::npos) {
        return false;
    }
    for (int i = 0; i < 22; ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kShape[i] == 'd' ? !digit : line[i] != kShape[i]) {
            return false;
        }
    }
    return true;
}

TEST(LoadTest, ThreadsShareHandlesForThirtySeconds) {
    ASSERT_EQ(ERROR_SUCCESS, EnsureContainer(MS_ENHANCED_PROV_W, kContainer));
    const BCRYPT_KEY_HANDLE verifier = ImportPublicKey(MS_ENHANCED_PROV_W, kContainer, AT_SIGNATURE);
    ASSERT_NE(nullptr, verifier);
    std::vector<Bytes> plaintexts;
    std::vector<Bytes> ciphertexts;
    for (int i = 0; i < kCiphertexts; ++i) {
        plaintexts.emplace_back(static_cast<std::size_t>(8 + i * 13), static_cast<std::uint8_t>(0x30 + i));
        Bytes cipher;
        ASSERT_TRUE(CapiEncrypt(MS_ENHANCED_PROV_W, kContainer, plaintexts.back(), &cipher));
        ciphertexts.push_back(cipher);
    }
    CreateDirectoryW(TraceFolder().c_str(), nullptr);
    DeleteFileW(TraceFile().c_str());

    ProviderModule module(SYSTEM_DLL_PATH);
    ASSERT_TRUE(module.loaded()) << module.loadError();
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = module.table();
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE key = 0;
    ASSERT_EQ(ERROR_SUCCESS, t.OpenProvider(&provider, MS_ENHANCED_PROV_W, 0));
    ASSERT_EQ(ERROR_SUCCESS, t.OpenKey(provider, &key, kContainer, 0, 0));

    Counts counts;
    std::mutex problemMutex;
    std::map<std::string, int> problems;
    const auto problem = [&](const std::string &what) {
        std::lock_guard<std::mutex> lock(problemMutex);
        ++problems[what];
        ++counts.failures;
    };
    const auto deadline = std::chrono::steady_clock::now() + kDuration;
    const auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        while (std::chrono::steady_clock::now() < deadline) {
            const unsigned op = rng() % 10;
            if (op < 4) {
                Bytes message(64);
                for (auto &b : message) {
                    b = static_cast<std::uint8_t>(rng());
                }
                Bytes hash = Sha1(message);
                Bytes signature(256);
                DWORD size = 0;
                BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA1_ALGORITHM};
                const SECURITY_STATUS s = t.SignHash(provider, key, &padding, hash.data(), 20, signature.data(),
                                                     256, &size, NCRYPT_PAD_PKCS1_FLAG);
                if (s != ERROR_SUCCESS || size != 256) {
                    problem("SignHash answered " + Hex(static_cast<std::uint32_t>(s)));
                } else if (!VerifySha1Signature(verifier, hash, signature)) {
                    problem("a signature does not verify");
                }
                ++counts.signs;
            } else if (op < 8) {
                const std::size_t which = rng() % kCiphertexts;
                Bytes plain(256, 0);
                DWORD size = 0;
                const SECURITY_STATUS s = t.Decrypt(provider, key, ciphertexts[which].data(), 256, nullptr,
                                                    plain.data(), 256, &size, NCRYPT_PAD_PKCS1_FLAG);
                if (s != ERROR_SUCCESS || size != plaintexts[which].size() ||
                    !std::equal(plaintexts[which].begin(), plaintexts[which].end(), plain.begin())) {
                    problem("Decrypt answered " + Hex(static_cast<std::uint32_t>(s)) + " or a wrong plaintext");
                }
                ++counts.decryptions;
            } else if (op < 9) {
                DWORD usage = 0;
                DWORD size = 0;
                const SECURITY_STATUS s = t.GetKeyProperty(provider, key, NCRYPT_KEY_USAGE_PROPERTY,
                                                           reinterpret_cast<PBYTE>(&usage), 4, &size, 0);
                if (s != ERROR_SUCCESS || usage != 3) {
                    problem("GetKeyProperty answered " + Hex(static_cast<std::uint32_t>(s)));
                }
                ++counts.keyProperties;
            } else {
                wchar_t name[128] = {};
                DWORD size = 0;
                const SECURITY_STATUS s = t.GetProviderProperty(provider, NCRYPT_NAME_PROPERTY,
                                                                reinterpret_cast<PBYTE>(name), sizeof(name), &size, 0);
                if (s != ERROR_SUCCESS || std::wcscmp(name, MS_ENHANCED_PROV_W) != 0) {
                    problem("GetProviderProperty answered " + Hex(static_cast<std::uint32_t>(s)));
                }
                ++counts.providerProperties;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(worker, 1000u + static_cast<unsigned>(i));
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ERROR_SUCCESS, t.FreeKey(provider, key));
    EXPECT_EQ(ERROR_SUCCESS, t.FreeProvider(provider));
    module.Unload();
    BCryptDestroyKey(verifier);

    const int operations = counts.signs + counts.decryptions + counts.keyProperties + counts.providerProperties;
    std::printf("load: %d threads, %d operations (%d signatures, %d decryptions, %d key and %d provider property "
                "reads)\n",
                kThreads, operations, counts.signs.load(), counts.decryptions.load(), counts.keyProperties.load(),
                counts.providerProperties.load());
    for (const auto &p : problems) {
        ADD_FAILURE() << p.first << " (" << p.second << " times)";
    }
    EXPECT_EQ(0, counts.failures.load());
    EXPECT_GT(counts.signs.load(), 0);
    EXPECT_GT(counts.decryptions.load(), 0);

    bool endsWhole = false;
    const std::vector<std::string> lines = ReadLines(TraceFile(), &endsWhole);
    EXPECT_TRUE(endsWhole) << "the log ends inside a line";
    std::map<std::string, int> messages;
    int broken = 0;
    for (const std::string &line : lines) {
        if (!IsWholeLine(line)) {
            ++broken;
        } else {
            ++messages[line.substr(22)];
        }
    }
    EXPECT_EQ(0, broken) << "lines that are not whole";
    // Start line, attach, the table, one provider and one key; each thread's start and end; the frees and
    // the detach lines.
    const int fixed = 1 + 2 + 1 + 1 + 4 + 2 * kThreads + 1 + 1 + 3;
    const int expected = fixed + counts.signs * kSignLines + counts.decryptions * kDecryptLines +
                         counts.keyProperties * kKeyPropertyLines;
    EXPECT_EQ(expected, static_cast<int>(lines.size()));
    EXPECT_EQ(counts.signs.load(), messages["Received a signing request"]);
    EXPECT_EQ(counts.signs.load(), messages["Validation 14"]);
    EXPECT_EQ(counts.decryptions.load(), messages["Call to decrypt"]);
    EXPECT_EQ(counts.decryptions.load(), messages["Validation 3 OK - block length: 256"]);
    EXPECT_EQ(counts.keyProperties.load(), messages["GetKeyProperty"]);
    EXPECT_EQ(2 + 2 * kThreads, messages["DllMain called"]);
    EXPECT_EQ(1, messages["Stopping logging."]);
    EXPECT_EQ("Stopping logging.", lines.empty() ? std::string() : lines.back().substr(22));
}

}  // namespace
