// A real CAPI key container in Wine's enhanced RSA provider, made once per test program (2048-bit key
// generation is slow under qemu) and deleted when the program ends, plus the provider DLL opened on it.
#pragma once

#include "test_support.h"

#include <string>
#include <vector>

namespace crypto_dll {

constexpr DWORD kKeyBits = 2048;
constexpr DWORD kKeyBytes = kKeyBits / 8;

// The shared container; created on first use.
struct TestContainer {
    std::wstring name;
    std::vector<BYTE> signaturePublicKey;  // PUBLICKEYBLOB of the AT_SIGNATURE key
    bool ready = false;
};
const TestContainer &Container();

// The DLL loaded as the router loads it, a provider handle opened under the CAPI provider's name and
// a key handle opened on a container name.
class ProviderSession {
public:
    explicit ProviderSession(const std::wstring &containerName);
    ~ProviderSession();
    ProviderSession(const ProviderSession &) = delete;
    ProviderSession &operator=(const ProviderSession &) = delete;

    bool ok() const { return key_ != 0; }
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table() const { return *loaded_.table(); }
    NCRYPT_PROV_HANDLE provider() const { return provider_; }
    NCRYPT_KEY_HANDLE key() const { return key_; }

    SECURITY_STATUS Sign(const wchar_t *algorithm, const std::vector<BYTE> &hash, BYTE *signature,
                         DWORD signatureSize, DWORD *result) const;
    SECURITY_STATUS Decrypt(BYTE *input, DWORD inputSize, BYTE *output, DWORD outputSize, DWORD *result,
                            DWORD flags = NCRYPT_PAD_PKCS1_FLAG) const;

private:
    LoadedProvider loaded_;
    NCRYPT_PROV_HANDLE provider_ = 0;
    NCRYPT_KEY_HANDLE key_ = 0;
};

// CAPI's own PKCS #1 v1.5 encryption with the container's exchange key, returned most significant
// byte first as CNG callers hand it in.
std::vector<BYTE> EncryptWithCapi(const std::vector<BYTE> &message);

// Independent check of a signature (most significant byte first) with BCrypt and the exported key.
bool VerifiesWithBCrypt(const std::vector<BYTE> &sha1Hash, const std::vector<BYTE> &signature);

}  // namespace crypto_dll
