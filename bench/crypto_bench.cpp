// Cost of signing and decrypting through the provider's table against the same CryptoAPI calls made
// directly, with the trace log off and on. The log is decided once per process, so each setting is
// measured in a child process of this program; the parent owns the key container and the log folder.
//
//   crypto_bench.exe [--count N] [--rounds R] [--dll PATH]
#include "ksp_interface.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr DWORD kKeyBits = 2048;
constexpr DWORD kKeyBytes = kKeyBits / 8;
const wchar_t kCapiProvider[] = MS_ENHANCED_PROV_W;

struct Options {
    int count = 50;
    int rounds = 7;
    std::wstring dll = KSP_BENCH_DLL_PATH;
    std::wstring container;    // child only
    std::wstring resultFile;   // child only
};

// Median seconds per operation for the four timed series.
struct Figures {
    double providerSign = 0;
    double directSign = 0;
    double providerDecrypt = 0;
    double directDecrypt = 0;
};

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

[[noreturn]] void Fail(const char *what) {
    std::fprintf(stderr, "crypto_bench: %s (error 0x%lx)\n", what, static_cast<unsigned long>(GetLastError()));
    std::exit(1);
}

// The sequence the provider makes for one signature, made directly.
bool DirectSign(const wchar_t *container, const BYTE *hash, BYTE *signature) {
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextW(&context, container, kCapiProvider, PROV_RSA_FULL, 0)) {
        return false;
    }
    HCRYPTKEY key = 0;
    HCRYPTHASH hashObject = 0;
    BYTE *work = nullptr;
    bool ok = false;
    DWORD bits = 0;
    DWORD length = sizeof(bits);
    DWORD hashSize = 0;
    DWORD hashSizeLength = sizeof(hashSize);
    if (CryptGetUserKey(context, AT_SIGNATURE, &key) &&
        CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE *>(&bits), &length, 0) &&
        CryptCreateHash(context, CALG_SHA1, 0, 0, &hashObject) &&
        CryptGetHashParam(hashObject, HP_HASHSIZE, reinterpret_cast<BYTE *>(&hashSize), &hashSizeLength, 0) &&
        CryptSetHashParam(hashObject, HP_HASHVAL, hash, 0)) {
        const DWORD bytes = bits >> 3;
        work = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, bytes));
        DWORD signatureLength = bytes;
        if (work != nullptr && CryptSignHashW(hashObject, AT_SIGNATURE, nullptr, 0, work, &signatureLength)) {
            for (DWORD i = 0; i < signatureLength; ++i) {
                signature[signatureLength - 1 - i] = work[i];
            }
            ok = true;
        }
    }
    if (hashObject != 0) {
        CryptDestroyHash(hashObject);
    }
    if (key != 0) {
        CryptDestroyKey(key);
    }
    CryptReleaseContext(context, 0);
    if (work != nullptr) {
        HeapFree(GetProcessHeap(), 0, work);
    }
    return ok;
}

// The sequence the provider makes for one decryption, made directly.
bool DirectDecrypt(const wchar_t *container, const BYTE *input, BYTE *output, DWORD *outputLength) {
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextW(&context, container, kCapiProvider, PROV_RSA_FULL, 0)) {
        return false;
    }
    HCRYPTKEY key = 0;
    BYTE *work = nullptr;
    DWORD bytes = 0;
    bool ok = false;
    DWORD bits = 0;
    DWORD length = sizeof(bits);
    if (CryptGetUserKey(context, AT_KEYEXCHANGE, &key) &&
        CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE *>(&bits), &length, 0)) {
        bytes = bits >> 3;
        work = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, bytes));
        if (work != nullptr) {
            for (DWORD i = 0; i < bytes; ++i) {
                work[bytes - 1 - i] = input[i];
            }
            DWORD plaintext = bytes;
            if (CryptDecrypt(key, 0, TRUE, 0, work, &plaintext)) {
                std::copy(work, work + plaintext, output);
                *outputLength = plaintext;
                ok = true;
            }
        }
    }
    if (key != 0) {
        CryptDestroyKey(key);
    }
    CryptReleaseContext(context, 0);
    if (work != nullptr) {
        SecureZeroMemory(work, bytes);
        HeapFree(GetProcessHeap(), 0, work);
    }
    return ok;
}

std::vector<BYTE> EncryptBlock(const wchar_t *container, const std::vector<BYTE> &message) {
    HCRYPTPROV context = 0;
    HCRYPTKEY key = 0;
    std::vector<BYTE> block(kKeyBytes);
    std::copy(message.begin(), message.end(), block.begin());
    DWORD length = static_cast<DWORD>(message.size());
    if (!CryptAcquireContextW(&context, container, kCapiProvider, PROV_RSA_FULL, 0) ||
        !CryptGetUserKey(context, AT_KEYEXCHANGE, &key) ||
        !CryptEncrypt(key, 0, TRUE, 0, block.data(), &length, kKeyBytes)) {
        Fail("CAPI encryption failed");
    }
    CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    std::reverse(block.begin(), block.end());
    return block;
}

// Child: one logging setting; the median over rounds of each series' mean time per operation.
int Measure(const Options &options) {
    HMODULE module = LoadLibraryW(options.dll.c_str());
    if (module == nullptr) {
        Fail("cannot load the provider DLL");
    }
    auto entry = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(module, "GetKeyStorageInterface")));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE key = 0;
    const wchar_t *container = options.container.c_str();
    if (entry == nullptr || entry(kCapiProvider, &table, 0) != ERROR_SUCCESS ||
        table->OpenProvider(&provider, kCapiProvider, 0) != ERROR_SUCCESS ||
        table->OpenKey(provider, &key, container, 0, 0) != ERROR_SUCCESS) {
        Fail("cannot open the provider");
    }

    BYTE hash[20];
    for (int i = 0; i < 20; ++i) {
        hash[i] = static_cast<BYTE>(i * 13 + 1);
    }
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA1_ALGORITHM};
    const std::vector<BYTE> message(32, 0x42);
    std::vector<BYTE> ciphertext = EncryptBlock(container, message);
    std::vector<BYTE> providerSignature(kKeyBytes);
    std::vector<BYTE> directSignature(kKeyBytes);
    std::vector<BYTE> plaintext(kKeyBytes);

    auto providerSign = [&] {
        DWORD written = 0;
        return table->SignHash(provider, key, &padding, hash, sizeof(hash), providerSignature.data(), kKeyBytes,
                               &written, NCRYPT_PAD_PKCS1_FLAG) == ERROR_SUCCESS;
    };
    auto directSign = [&] { return DirectSign(container, hash, directSignature.data()); };
    auto providerDecrypt = [&] {
        DWORD written = 0;
        return table->Decrypt(provider, key, ciphertext.data(), kKeyBytes, nullptr, plaintext.data(), kKeyBytes,
                              &written, NCRYPT_PAD_PKCS1_FLAG) == ERROR_SUCCESS &&
               written == message.size();
    };
    auto directDecrypt = [&] {
        DWORD written = 0;
        return DirectDecrypt(container, ciphertext.data(), plaintext.data(), &written) && written == message.size();
    };
    struct Series {
        std::function<bool()> run;
        std::vector<double> seconds;
    };
    std::vector<Series> series = {{providerSign, {}}, {directSign, {}}, {providerDecrypt, {}}, {directDecrypt, {}}};

    // One untimed pass warms caches and checks that both roads give the same answers.
    for (Series &s : series) {
        if (!s.run()) {
            Fail("warm-up operation failed");
        }
    }
    if (providerSignature != directSignature) {
        Fail("provider and direct signatures differ");
    }

    // Operations of the four series interleave one by one, in a rotating order, so that a slow patch
    // of a busy machine lands on all of them alike.
    for (int round = 0; round < options.rounds; ++round) {
        std::vector<double> total(series.size(), 0.0);
        for (int i = 0; i < options.count; ++i) {
            for (std::size_t k = 0; k < series.size(); ++k) {
                const std::size_t which = (k + static_cast<std::size_t>(i + round)) % series.size();
                const double start = Now();
                if (!series[which].run()) {
                    Fail("timed operation failed");
                }
                total[which] += Now() - start;
            }
        }
        for (std::size_t k = 0; k < series.size(); ++k) {
            series[k].seconds.push_back(total[k] / options.count);
        }
    }
    table->FreeKey(provider, key);
    table->FreeProvider(provider);

    FILE *out = _wfopen(options.resultFile.c_str(), L"w");
    if (out == nullptr) {
        Fail("cannot write the result file");
    }
    std::fprintf(out, "%.9f %.9f %.9f %.9f\n", Median(series[0].seconds), Median(series[1].seconds),
                 Median(series[2].seconds), Median(series[3].seconds));
    std::fclose(out);
    FreeLibrary(module);
    return 0;
}

bool RunChild(const Options &options, const std::wstring &container, const std::wstring &resultFile) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --measure \"" + container + L"\" \"" +
                               resultFile + L"\" --count " + std::to_wstring(options.count) + L" --rounds " +
                               std::to_wstring(options.rounds) + L" --dll \"" + options.dll + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code == 0;
}

Figures ReadFigures(const std::wstring &resultFile) {
    Figures f;
    FILE *in = _wfopen(resultFile.c_str(), L"r");
    if (in == nullptr ||
        std::fscanf(in, "%lf %lf %lf %lf", &f.providerSign, &f.directSign, &f.providerDecrypt, &f.directDecrypt) !=
            4) {
        Fail("cannot read a child's figures");
    }
    std::fclose(in);
    DeleteFileW(resultFile.c_str());
    return f;
}

void CreateContainer(const std::wstring &name) {
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextW(&context, name.c_str(), kCapiProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
        Fail("cannot create the key container");
    }
    for (ALG_ID keySpec : {static_cast<ALG_ID>(AT_SIGNATURE), static_cast<ALG_ID>(AT_KEYEXCHANGE)}) {
        HCRYPTKEY key = 0;
        if (!CryptGenKey(context, keySpec, kKeyBits << 16, &key)) {
            Fail("cannot generate a key");
        }
        CryptDestroyKey(key);
    }
    CryptReleaseContext(context, 0);
}

void DeleteContainer(const std::wstring &name) {
    HCRYPTPROV unused = 0;
    CryptAcquireContextW(&unused, name.c_str(), kCapiProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

void PrintRow(const char *setting, const Figures &f) {
    std::printf("%-12s sign: provider %8.3f ms, direct %8.3f ms, ratio %.3f | decrypt: provider %8.3f ms, "
                "direct %8.3f ms, ratio %.3f\n",
                setting, f.providerSign * 1e3, f.directSign * 1e3, f.providerSign / f.directSign,
                f.providerDecrypt * 1e3, f.directDecrypt * 1e3, f.providerDecrypt / f.directDecrypt);
}

Options Parse(int argc, wchar_t **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--count" && i + 1 < argc) {
            options.count = std::max(1, _wtoi(argv[++i]));
        } else if (arg == L"--rounds" && i + 1 < argc) {
            options.rounds = std::max(1, _wtoi(argv[++i]));
        } else if (arg == L"--dll" && i + 1 < argc) {
            options.dll = argv[++i];
        } else if (arg == L"--measure" && i + 2 < argc) {
            options.container = argv[++i];
            options.resultFile = argv[++i];
        } else {
            std::fprintf(stderr, "usage: crypto_bench [--count N] [--rounds R] [--dll PATH]\n");
            std::exit(2);
        }
    }
    return options;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    const Options options = Parse(argc, argv);
    if (!options.container.empty()) {
        return Measure(options);
    }

    wchar_t appData[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, appData, CSIDL_LOCAL_APPDATA, FALSE)) {
        Fail("no local application data folder");
    }
    const std::wstring logFolder = std::wstring(appData) + L"\\QuorvKSP";
    if (GetFileAttributesW(logFolder.c_str()) != INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "crypto_bench: %ls exists; remove it so that logging can be measured off\n",
                     logFolder.c_str());
        return 1;
    }
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring tag = std::to_wstring(GetCurrentProcessId());
    const std::wstring container = L"QuorvKspBench-" + tag;
    const std::wstring offFile = std::wstring(temp) + L"crypto_bench_off_" + tag + L".txt";
    const std::wstring onFile = std::wstring(temp) + L"crypto_bench_on_" + tag + L".txt";

    std::printf("%s build, %d rounds of %d operations per series, median per operation, 2048-bit keys, SHA1\n",
                sizeof(void *) == 8 ? "64-bit" : "32-bit", options.rounds, options.count);
    CreateContainer(container);
    const bool offOk = RunChild(options, container, offFile);
    bool onOk = false;
    if (offOk && CreateDirectoryW(logFolder.c_str(), nullptr)) {
        onOk = RunChild(options, container, onFile);
        const std::wstring logFile = logFolder + L"\\trace.txt";
        DeleteFileW(logFile.c_str());
        RemoveDirectoryW(logFolder.c_str());
    }
    DeleteContainer(container);
    if (!offOk || !onOk) {
        Fail("a measuring child failed");
    }
    PrintRow("logging off", ReadFigures(offFile));
    PrintRow("logging on", ReadFigures(onFile));
    return 0;
}
