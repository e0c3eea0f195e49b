// Helpers shared by the whole-system programs: the real DLL loaded as a client loads it, CAPI
// containers and providers set up as an administrator would, and independent checks with BCrypt.
#pragma once

#include "ksp_interface.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// The aliases under which the provider is registered; they must also be CAPI provider names.
extern const wchar_t kCapiAliasName[];      // "Quorv CSP"
extern const wchar_t kCapiSecondAliasName[];  // "Vandrel RSA Full Provider 1.2"

// The provider DLL loaded by name or path; frees it on scope exit.
class ProviderModule {
public:
    explicit ProviderModule(const wchar_t *nameOrPath);
    ~ProviderModule();
    ProviderModule(const ProviderModule &) = delete;
    ProviderModule &operator=(const ProviderModule &) = delete;

    // Frees the DLL now, so that its detach lines are written before the caller reads the log.
    void Unload();
    bool loaded() const { return table_ != nullptr; }
    DWORD loadError() const { return loadError_; }
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table() const { return *table_; }

private:
    HMODULE module_ = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table_ = nullptr;
    DWORD loadError_ = 0;
};

// Registers a CAPI provider of type PROV_RSA_FULL backed by rsaenh.dll under the given name, in the
// 64-bit and the 32-bit registry view. Returns the Win32 error of the first failing step.
LONG RegisterRsaenhAlias(const wchar_t *name);

// Opens the container in the named CAPI provider, creating it with 2048-bit signature and exchange
// keys when it is missing. Returns the Win32 error, 0 on success.
DWORD EnsureContainer(const wchar_t *providerName, const wchar_t *container);

// The public half of a container key (AT_SIGNATURE or AT_KEYEXCHANGE) as a BCrypt key; 0 on failure.
BCRYPT_KEY_HANDLE ImportPublicKey(const wchar_t *providerName, const wchar_t *container, DWORD keySpec);

// PKCS #1 v1.5 encryption with the container's exchange key, returned most significant byte first.
bool CapiEncrypt(const wchar_t *providerName, const wchar_t *container, const Bytes &plain, Bytes *cipher);

Bytes Sha1(const Bytes &data);

// BCrypt verification of a PKCS #1 v1.5 signature over a SHA-1 hash value.
bool VerifySha1Signature(BCRYPT_KEY_HANDLE key, const Bytes &hash, const Bytes &signature);

// Status in hexadecimal, for messages.
std::string Hex(std::uint32_t value);

// Live block count of the process heap; HeapWalk under the heap lock.
std::size_t LiveProcessHeapBlocks();

// The trace log of the current user: %LOCALAPPDATA%\QuorvKSP\trace.txt.
std::wstring TraceFolder();
std::wstring TraceFile();
