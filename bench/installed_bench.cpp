// Signatures and decryptions per second through the installed provider (loaded by its bare name, as
// CNG would find it after installation) beside the same CAPI call sequence made directly, in 1 and 8
// threads. Usage: installed_bench CONTAINER [SECONDS [MAX_THREADS]]
#include "system_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

namespace {

const wchar_t *container = L"QuorvBenchKey";
double seconds = 3.0;
Bytes hashValue;
Bytes ciphertext;

// Runs op on the given number of threads until the time is up; returns operations per second, or -1
// when any operation failed.
double Rate(int threads, const std::function<bool()> &op) {
    std::atomic<long> done{0};
    std::atomic<bool> failed{false};
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            while (std::chrono::steady_clock::now() < end) {
                if (!op()) {
                    failed = true;
                    return;
                }
                ++done;
            }
        });
    }
    for (auto &w : workers) {
        w.join();
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return failed ? -1.0 : static_cast<double>(done) / elapsed;
}

// What the provider does for one signature, made directly.
bool DirectSign() {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, container, kCapiAliasName, PROV_RSA_FULL, 0)) {
        return false;
    }
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    bool ok = CryptGetUserKey(prov, AT_SIGNATURE, &key) != FALSE;
    DWORD bits = 0;
    DWORD size = sizeof(bits);
    ok = ok && CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE *>(&bits), &size, 0);
    ok = ok && CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash);
    DWORD hashSize = 0;
    size = sizeof(hashSize);
    ok = ok && CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&hashSize), &size, 0);
    ok = ok && CryptSetHashParam(hash, HP_HASHVAL, hashValue.data(), 0);
    Bytes signature(bits / 8);
    DWORD length = static_cast<DWORD>(signature.size());
    ok = ok && CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length);
    if (hash != 0) {
        CryptDestroyHash(hash);
    }
    if (key != 0) {
        CryptDestroyKey(key);
    }
    CryptReleaseContext(prov, 0);
    return ok;
}

// What the provider does for one decryption, made directly.
bool DirectDecrypt() {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, container, kCapiAliasName, PROV_RSA_FULL, 0)) {
        return false;
    }
    HCRYPTKEY key = 0;
    bool ok = CryptGetUserKey(prov, AT_KEYEXCHANGE, &key) != FALSE;
    DWORD bits = 0;
    DWORD size = sizeof(bits);
    ok = ok && CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE *>(&bits), &size, 0);
    Bytes work(ciphertext.rbegin(), ciphertext.rend());
    DWORD length = static_cast<DWORD>(work.size());
    ok = ok && CryptDecrypt(key, 0, TRUE, 0, work.data(), &length);
    SecureZeroMemory(work.data(), work.size());
    if (key != 0) {
        CryptDestroyKey(key);
    }
    CryptReleaseContext(prov, 0);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc > 1) {
        container = argv[1];
    }
    if (argc > 2) {
        seconds = _wtof(argv[2]);
    }
    // Under qemu-user, threads of a 32-bit Wine process that start at the same moment, as these do,
    // crash the emulator.
    const int maxThreads = argc > 3 ? _wtoi(argv[3]) : 8;
    const char *build = sizeof(void *) == 8 ? "64-bit" : "32-bit";
    if (EnsureContainer(kCapiAliasName, container) != ERROR_SUCCESS) {
        std::printf("%s: no container\n", build);
        return 1;
    }
    hashValue = Sha1(Bytes(64, 0x5A));
    if (!CapiEncrypt(kCapiAliasName, container, Bytes(32, 0x33), &ciphertext)) {
        std::printf("%s: CAPI encryption failed\n", build);
        return 1;
    }
    ProviderModule module(L"QuorvKSP.dll");
    if (!module.loaded()) {
        std::printf("%s: QuorvKSP.dll not loaded (%lu)\n", build, module.loadError());
        return 1;
    }
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = module.table();
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE key = 0;
    if (t.OpenProvider(&provider, kCapiAliasName, 0) != ERROR_SUCCESS ||
        t.OpenKey(provider, &key, container, 0, 0) != ERROR_SUCCESS) {
        std::printf("%s: provider or key not opened\n", build);
        return 1;
    }
    const auto providerSign = [&] {
        BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA1_ALGORITHM};
        BYTE signature[512];
        DWORD size = 0;
        return t.SignHash(provider, key, &padding, hashValue.data(), static_cast<DWORD>(hashValue.size()),
                          signature, sizeof(signature), &size, NCRYPT_PAD_PKCS1_FLAG) == ERROR_SUCCESS;
    };
    const auto providerDecrypt = [&] {
        BYTE plain[256];
        DWORD size = 0;
        return t.Decrypt(provider, key, ciphertext.data(), static_cast<DWORD>(ciphertext.size()), nullptr, plain,
                         sizeof(plain), &size, NCRYPT_PAD_PKCS1_FLAG) == ERROR_SUCCESS;
    };
    int status = 0;
    // The series alternate in short rounds, each starting first in turn, so that drift in the machine's
    // load falls on both sides alike.
    constexpr int kRounds = 6;
    seconds /= kRounds;
    const auto paired = [&](int threads, const std::function<bool()> &viaProvider,
                            const std::function<bool()> &direct, double *provider, double *directRate) {
        *provider = 0;
        *directRate = 0;
        for (int round = 0; round < kRounds; ++round) {
            const bool providerFirst = round % 2 == 0;
            const double a = Rate(threads, providerFirst ? viaProvider : direct);
            const double b = Rate(threads, providerFirst ? direct : viaProvider);
            if (a < 0 || b < 0) {
                *provider = *directRate = -1;
                return;
            }
            *provider += (providerFirst ? a : b) / kRounds;
            *directRate += (providerFirst ? b : a) / kRounds;
        }
    };
    for (int threads : {1, 8}) {
        if (threads > maxThreads) {
            std::printf("%s %d threads: not measured (at most %d here)\n", build, threads, maxThreads);
            continue;
        }
        double ps = 0, ds = 0, pd = 0, dd = 0;
        paired(threads, providerSign, DirectSign, &ps, &ds);
        paired(threads, providerDecrypt, DirectDecrypt, &pd, &dd);
        if (ps < 0 || ds < 0 || pd < 0 || dd < 0) {
            status = 1;
        }
        std::printf("%s %d thread%s: sign %.1f/s provider, %.1f/s direct, ratio %.2f | decrypt %.1f/s provider, "
                    "%.1f/s direct, ratio %.2f\n",
                    build, threads, threads == 1 ? " " : "s", ps, ds, ds > 0 ? ps / ds : 0.0, pd, dd,
                    dd > 0 ? pd / dd : 0.0);
    }
    t.FreeKey(provider, key);
    t.FreeProvider(provider);
    return status;
}
