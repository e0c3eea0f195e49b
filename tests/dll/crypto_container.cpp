#include "crypto_container.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace crypto_dll {

namespace {

TestContainer container;
std::once_flag containerOnce;

bool GenerateKey(HCRYPTPROV context, ALG_ID keySpec, DWORD flags) {
    HCRYPTKEY key = 0;
    if (!CryptGenKey(context, keySpec, (kKeyBits << 16) | flags, &key)) {
        ADD_FAILURE() << "CryptGenKey(" << keySpec << ") failed: " << std::hex << GetLastError();
        return false;
    }
    CryptDestroyKey(key);
    return true;
}

std::vector<BYTE> ExportPublicKey(HCRYPTPROV context, DWORD keySpec) {
    HCRYPTKEY key = 0;
    std::vector<BYTE> blob;
    if (!CryptGetUserKey(context, keySpec, &key)) {
        return blob;
    }
    DWORD size = 0;
    if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
        blob.resize(size);
        if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) {
            blob.clear();
        }
    }
    CryptDestroyKey(key);
    return blob;
}

void CreateContainer() {
    container.name = L"QuorvKspCryptoTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                     std::to_wstring(GetTickCount64());
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextW(&context, container.name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                              CRYPT_NEWKEYSET)) {
        ADD_FAILURE() << "creating the container failed: " << std::hex << GetLastError();
        return;
    }
    const bool generated = GenerateKey(context, AT_SIGNATURE, 0) && GenerateKey(context, AT_KEYEXCHANGE, 0);
    container.signaturePublicKey = ExportPublicKey(context, AT_SIGNATURE);
    // rsaenh stores the container only once the context is released.
    CryptReleaseContext(context, 0);
    container.ready = generated && !container.signaturePublicKey.empty();
}

class ContainerCleanup : public ::testing::Environment {
public:
    void TearDown() override {
        if (container.name.empty()) {
            return;
        }
        HCRYPTPROV unused = 0;
        if (!CryptAcquireContextW(&unused, container.name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                  CRYPT_DELETEKEYSET)) {
            ADD_FAILURE() << "deleting the container failed: " << std::hex << GetLastError();
        }
    }
};

[[maybe_unused]] ::testing::Environment *const containerCleanup =
    ::testing::AddGlobalTestEnvironment(new ContainerCleanup);

}  // namespace

const TestContainer &Container() {
    std::call_once(containerOnce, CreateContainer);
    return container;
}

ProviderSession::ProviderSession(const std::wstring &containerName) {
    if (loaded_.table() == nullptr) {
        return;
    }
    if (table().OpenProvider(&provider_, MS_ENHANCED_PROV_W, 0) != ERROR_SUCCESS) {
        ADD_FAILURE() << "OpenProvider failed";
        return;
    }
    if (table().OpenKey(provider_, &key_, containerName.c_str(), 0, 0) != ERROR_SUCCESS) {
        ADD_FAILURE() << "OpenKey failed";
        key_ = 0;
    }
}

ProviderSession::~ProviderSession() {
    if (key_ != 0) {
        EXPECT_EQ(ERROR_SUCCESS, table().FreeKey(provider_, key_));
    }
    if (provider_ != 0) {
        EXPECT_EQ(ERROR_SUCCESS, table().FreeProvider(provider_));
    }
}

SECURITY_STATUS ProviderSession::Sign(const wchar_t *algorithm, const std::vector<BYTE> &hash, BYTE *signature,
                                      DWORD signatureSize, DWORD *result) const {
    BCRYPT_PKCS1_PADDING_INFO padding{algorithm};
    return table().SignHash(provider_, key_, &padding, const_cast<BYTE *>(hash.data()),
                            static_cast<DWORD>(hash.size()), signature, signatureSize, result,
                            NCRYPT_PAD_PKCS1_FLAG);
}

SECURITY_STATUS ProviderSession::Decrypt(BYTE *input, DWORD inputSize, BYTE *output, DWORD outputSize,
                                         DWORD *result, DWORD flags) const {
    return table().Decrypt(provider_, key_, input, inputSize, nullptr, output, outputSize, result, flags);
}

std::vector<BYTE> EncryptWithCapi(const std::vector<BYTE> &message) {
    std::vector<BYTE> block(kKeyBytes);
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextW(&context, Container().name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0)) {
        ADD_FAILURE() << "CryptAcquireContextW failed: " << std::hex << GetLastError();
        return {};
    }
    HCRYPTKEY key = 0;
    bool ok = CryptGetUserKey(context, AT_KEYEXCHANGE, &key) != FALSE;
    if (ok) {
        std::copy(message.begin(), message.end(), block.begin());
        DWORD length = static_cast<DWORD>(message.size());
        ok = CryptEncrypt(key, 0, TRUE, 0, block.data(), &length, kKeyBytes) != FALSE && length == kKeyBytes;
        CryptDestroyKey(key);
    }
    CryptReleaseContext(context, 0);
    if (!ok) {
        ADD_FAILURE() << "CAPI encryption failed: " << std::hex << GetLastError();
        return {};
    }
    std::reverse(block.begin(), block.end());
    return block;
}

bool VerifiesWithBCrypt(const std::vector<BYTE> &sha1Hash, const std::vector<BYTE> &signature) {
    // PUBLICKEYBLOB: BLOBHEADER (8 bytes), RSAPUBKEY (12 bytes), modulus least significant byte first.
    const std::vector<BYTE> &blob = Container().signaturePublicKey;
    const std::size_t headerSize = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    if (blob.size() < headerSize) {
        return false;
    }
    RSAPUBKEY rsa;
    std::memcpy(&rsa, blob.data() + sizeof(BLOBHEADER), sizeof(rsa));
    const DWORD modulusSize = rsa.bitlen / 8;
    if (blob.size() < headerSize + modulusSize) {
        return false;
    }
    std::vector<BYTE> exponent;
    for (DWORD e = rsa.pubexp; e != 0; e >>= 8) {
        exponent.insert(exponent.begin(), static_cast<BYTE>(e & 0xFF));
    }
    BCRYPT_RSAKEY_BLOB header{};
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = rsa.bitlen;
    header.cbPublicExp = static_cast<ULONG>(exponent.size());
    header.cbModulus = modulusSize;
    std::vector<BYTE> cngBlob(reinterpret_cast<const BYTE *>(&header),
                              reinterpret_cast<const BYTE *>(&header) + sizeof(header));
    cngBlob.insert(cngBlob.end(), exponent.begin(), exponent.end());
    std::vector<BYTE> modulus(blob.begin() + headerSize, blob.begin() + headerSize + modulusSize);
    cngBlob.insert(cngBlob.end(), modulus.rbegin(), modulus.rend());

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_RSA_ALGORITHM, nullptr, 0) < 0) {
        ADD_FAILURE() << "BCryptOpenAlgorithmProvider failed";
        return false;
    }
    BCRYPT_KEY_HANDLE key = nullptr;
    NTSTATUS status = BCryptImportKeyPair(algorithm, nullptr, BCRYPT_RSAPUBLIC_BLOB, &key, cngBlob.data(),
                                          static_cast<ULONG>(cngBlob.size()), 0);
    bool verified = false;
    if (status >= 0) {
        BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA1_ALGORITHM};
        status = BCryptVerifySignature(key, &padding, const_cast<BYTE *>(sha1Hash.data()),
                                       static_cast<ULONG>(sha1Hash.size()), const_cast<BYTE *>(signature.data()),
                                       static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1);
        verified = status == STATUS_SUCCESS;
        BCryptDestroyKey(key);
    } else {
        ADD_FAILURE() << "BCryptImportKeyPair failed: " << std::hex << status;
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return verified;
}

}  // namespace crypto_dll
