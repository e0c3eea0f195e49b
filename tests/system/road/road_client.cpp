// The client side of the production road. "setup" prepares the prefix as an administrator would
// (CAPI aliases and a key container); "client" is an application that reaches the installed provider
// by its bare DLL name and walks one signing and one decryption request through it.
#include "system_support.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace {

int failures = 0;

void Check(bool ok, const char *what, const std::string &detail = {}) {
    std::printf("%s %s%s%s\n", ok ? "ok" : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
    if (!ok) {
        ++failures;
    }
}

int Setup(const wchar_t *container) {
    for (const wchar_t *alias : {kCapiAliasName, kCapiSecondAliasName}) {
        const LONG rc = RegisterRsaenhAlias(alias);
        Check(rc == ERROR_SUCCESS, "register CAPI alias", Hex(static_cast<std::uint32_t>(rc)));
        HCRYPTPROV probe = 0;
        const BOOL accepted = CryptAcquireContextW(&probe, nullptr, alias, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
        Check(accepted != FALSE, "CryptAcquireContextW accepts the alias",
              accepted ? std::string{} : Hex(GetLastError()));
        if (accepted) {
            CryptReleaseContext(probe, 0);
        }
    }
    const DWORD rc = EnsureContainer(kCapiAliasName, container);
    Check(rc == ERROR_SUCCESS, "container with signature and exchange keys", Hex(rc));
    return failures == 0 ? 0 : 1;
}

std::string Narrow(const wchar_t *text) {
    char out[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof(out) - 1, nullptr, nullptr);
    return out;
}

// Wine 8 appends with FILE_APPEND_DATA are not atomic across processes: two processes writing at the
// same instant can land on one offset and a line is lost (measured: about 90 of 6000 lines). The
// clients therefore take turns per provider call through a named mutex; their calls, and so their
// lines, still interleave in whatever order the scheduler picks, and both keep the log file open.
template <typename Call>
auto InTurn(Call call) -> decltype(call()) {
    static HANDLE turn = CreateMutexW(nullptr, FALSE, L"QuorvRoadTurn");
    WaitForSingleObject(turn, INFINITE);
    auto result = call();
    ReleaseMutex(turn);
    Sleep(1);
    return result;
}

// Both clients hold the DLL loaded before either starts its requests, so their lines interleave.
void MeetPeer(const wchar_t *self, const wchar_t *peer) {
    const std::wstring prefix = L"QuorvRoadReady-";
    HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, (prefix + self).c_str());
    HANDLE theirs = CreateEventW(nullptr, TRUE, FALSE, (prefix + peer).c_str());
    SetEvent(mine);
    Check(WaitForSingleObject(theirs, 120000) == WAIT_OBJECT_0, "peer client started");
    CloseHandle(theirs);
    CloseHandle(mine);
}

int Client(const wchar_t *container, const wchar_t *self, const wchar_t *peer) {
    std::optional<ProviderModule> module;
    InTurn([&] {
        module.emplace(L"QuorvKSP.dll");
        return 0;
    });
    Check(module->loaded(), "LoadLibraryW(\"QuorvKSP.dll\") and GetKeyStorageInterface", Hex(module->loadError()));
    if (!module->loaded()) {
        return 1;
    }
    wchar_t loadedFrom[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"QuorvKSP.dll"), loadedFrom, MAX_PATH);
    std::printf("loaded %s\n", Narrow(loadedFrom).c_str());
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = module->table();
    MeetPeer(self, peer);

    NCRYPT_PROV_HANDLE provider = 0;
    SECURITY_STATUS status = InTurn([&] { return t.OpenProvider(&provider, kCapiAliasName, 0); });
    Check(status == ERROR_SUCCESS, "OpenProvider under the CAPI alias", Hex(status));
    NCRYPT_KEY_HANDLE key = 0;
    status = InTurn([&] { return t.OpenKey(provider, &key, container, 0, 0); });
    Check(status == ERROR_SUCCESS, "OpenKey by container name", Hex(status));
    if (failures != 0) {
        return 1;
    }

    BYTE value[512] = {};
    DWORD size = 0;
    const auto keyProperty = [&](const wchar_t *name, void *out, DWORD outSize) {
        return InTurn([&] {
            return t.GetKeyProperty(provider, key, name, static_cast<PBYTE>(out), outSize, &size, 0);
        });
    };
    status = keyProperty(NCRYPT_NAME_PROPERTY, value, sizeof(value));
    const std::wstring expectedName = container;
    Check(status == ERROR_SUCCESS && size == (expectedName.size() + 1) * 2 &&
              expectedName == reinterpret_cast<const wchar_t *>(value),
          "key \"Name\"", Hex(status));
    status = keyProperty(NCRYPT_ALGORITHM_GROUP_PROPERTY, value, sizeof(value));
    Check(status == ERROR_SUCCESS && size == 8 && std::wcscmp(reinterpret_cast<const wchar_t *>(value), L"RSA") == 0,
          "key \"Algorithm Group\"", Hex(status));
    DWORD number = 0;
    status = keyProperty(NCRYPT_KEY_USAGE_PROPERTY, &number, sizeof(number));
    Check(status == ERROR_SUCCESS && size == 4 && number == (NCRYPT_ALLOW_DECRYPT_FLAG | NCRYPT_ALLOW_SIGNING_FLAG),
          "key \"Key Usage\"", Hex(status) + " value " + std::to_string(number));
    status = InTurn([&] {
        return t.GetProviderProperty(provider, NCRYPT_VERSION_PROPERTY, reinterpret_cast<PBYTE>(&number),
                                     sizeof(number), &size, 0);
    });
    Check(status == ERROR_SUCCESS && size == 4 && number == 0x00010500, "provider \"Version\"",
          Hex(status) + " value " + Hex(number));

    // Signing: size query, then the signature, verified by BCrypt with the container's public key.
    Bytes message(100);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    Bytes hash = Sha1(message);
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA1_ALGORITHM};
    Bytes signature(256);
    DWORD signatureSize = 0;
    const auto sign = [&](PBYTE out) {
        return InTurn([&] {
            return t.SignHash(provider, key, &padding, hash.data(), static_cast<DWORD>(hash.size()), out,
                              out == nullptr ? 0 : static_cast<DWORD>(signature.size()), &signatureSize,
                              NCRYPT_PAD_PKCS1_FLAG);
        });
    };
    status = sign(nullptr);
    Check(status == ERROR_SUCCESS && signatureSize == 256, "SignHash size query",
          Hex(status) + " size " + std::to_string(signatureSize));
    status = sign(signature.data());
    Check(status == ERROR_SUCCESS && signatureSize == 256, "SignHash", Hex(status));
    const BCRYPT_KEY_HANDLE verifier = ImportPublicKey(kCapiAliasName, container, AT_SIGNATURE);
    Check(verifier != nullptr, "public signature key imported into BCrypt");
    if (verifier != nullptr) {
        Check(VerifySha1Signature(verifier, hash, signature), "BCrypt verifies the signature");
        BCryptDestroyKey(verifier);
    }

    // Decryption of a block that CAPI encrypted with the container's exchange key.
    Bytes secret(32);
    for (std::size_t i = 0; i < secret.size(); ++i) {
        secret[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    Bytes cipher;
    Check(CapiEncrypt(kCapiAliasName, container, secret, &cipher), "CAPI encrypts a block");
    Bytes plain(256, 0xEE);
    DWORD plainSize = 0;
    status = InTurn([&] {
        return t.Decrypt(provider, key, cipher.data(), static_cast<DWORD>(cipher.size()), nullptr, plain.data(),
                         static_cast<DWORD>(plain.size()), &plainSize, NCRYPT_PAD_PKCS1_FLAG);
    });
    Check(status == ERROR_SUCCESS && plainSize == secret.size() &&
              std::equal(secret.begin(), secret.end(), plain.begin()),
          "Decrypt returns the plaintext", Hex(status) + " size " + std::to_string(plainSize));

    Check(InTurn([&] { return t.FreeKey(provider, key); }) == ERROR_SUCCESS, "FreeKey");
    Check(InTurn([&] { return t.FreeProvider(provider); }) == ERROR_SUCCESS, "FreeProvider");
    InTurn([&] {
        module->Unload();
        return 0;
    });
    return failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"setup") == 0) {
        return Setup(argv[2]);
    }
    if (argc == 5 && std::wcscmp(argv[1], L"client") == 0) {
        return Client(argv[2], argv[3], argv[4]);
    }
    if (argc == 2 && std::wcscmp(argv[1], L"absent") == 0) {
        // After uninstalling, the bare name must no longer resolve.
        HMODULE module = LoadLibraryW(L"QuorvKSP.dll");
        const DWORD error = GetLastError();
        Check(module == nullptr && error == ERROR_MOD_NOT_FOUND, "QuorvKSP.dll no longer loads", Hex(error));
        return failures == 0 ? 0 : 1;
    }
    std::printf("usage: road_client setup CONTAINER | client CONTAINER SELF PEER | absent\n");
    return 2;
}
