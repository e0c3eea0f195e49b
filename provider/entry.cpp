// The DLL's export, its function table, DllMain and the entries answered without work.
#include "entry_points.h"

#include "handles.h"
#include "platform.h"
#include "trace_log.h"

const NCRYPT_KEY_STORAGE_FUNCTION_TABLE keyStorageFunctionTable = {
    {1, 0},  // NCRYPT_KEY_STORAGE_INTERFACE_VERSION
    OpenProvider,
    OpenKey,
    CreatePersistedKey,
    GetProviderProperty,
    GetKeyProperty,
    SetProviderProperty,
    SetKeyProperty,
    FinalizeKey,
    DeleteKey,
    FreeProvider,
    FreeKey,
    FreeBuffer,
    Encrypt,
    Decrypt,
    IsAlgSupported,
    EnumAlgorithms,
    EnumKeys,
    ImportKey,
    ExportKey,
    SignHash,
    VerifySignature,
    PromptUser,
    NotifyChangeKey,
    SecretAgreement,
    DeriveKey,
    FreeSecret,
    nullptr,
    nullptr,
    nullptr,
};

extern "C" SECURITY_STATUS WINAPI GetKeyStorageInterface(LPCWSTR /*pszProviderName*/,
                                                         NCRYPT_KEY_STORAGE_FUNCTION_TABLE **ppFunctionTable,
                                                         DWORD /*dwFlags*/) {
    LogMessage(L"Key storage interface");
    // The router always passes a place for the table; a caller that does not gets an error, not a crash.
    if (ppFunctionTable == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    *ppFunctionTable = const_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(&keyStorageFunctionTable);
    return ERROR_SUCCESS;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE /*hinstDLL*/, DWORD fdwReason, LPVOID lpvReserved) {
    // A non-null reserved argument at detach means the process is ending, not that we are freed.
    if (fdwReason == DLL_PROCESS_DETACH && lpvReserved != nullptr) {
        processTerminating.store(true, std::memory_order_release);
    }
    LogMessage(L"DllMain called");
    switch (fdwReason) {
    case DLL_PROCESS_ATTACH:
        LogMessage(L"Attaching to DLL");
        break;
    case DLL_PROCESS_DETACH:
        LogMessage(L"Detaching from DLL");
        CloseRsaAlgorithmHandle();
        break;
    default:
        break;
    }
    return TRUE;
}

SECURITY_STATUS WINAPI FreeBuffer(PVOID pvInput) {
    HeapRelease(pvInput);
    return ERROR_SUCCESS;
}

// The refused operations read none of their arguments and validate no handle.

SECURITY_STATUS WINAPI CreatePersistedKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE *, LPCWSTR, LPCWSTR, DWORD, DWORD) {
    return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI SetKeyProperty(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD) {
    return ERROR_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI FinalizeKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD) { return ERROR_NOT_SUPPORTED; }

SECURITY_STATUS WINAPI DeleteKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD) { return ERROR_NOT_SUPPORTED; }

SECURITY_STATUS WINAPI Encrypt(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, PBYTE, DWORD, VOID *, PBYTE, DWORD, DWORD *,
                               DWORD) {
    LogMessage(L"Call to unsupported encrypt");
    return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI EnumKeys(NCRYPT_PROV_HANDLE, LPCWSTR, NCryptKeyName **, PVOID *, DWORD) {
    return ERROR_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI ExportKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR,
                                 NCryptBufferDesc *, PBYTE, DWORD, DWORD *, DWORD) {
    return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI VerifySignature(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, VOID *, PBYTE, DWORD, PBYTE, DWORD,
                                       DWORD) {
    return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI PromptUser(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, DWORD) { return NTE_NOT_SUPPORTED; }

SECURITY_STATUS WINAPI NotifyChangeKey(NCRYPT_PROV_HANDLE, HANDLE *, DWORD) { return NTE_NOT_SUPPORTED; }

SECURITY_STATUS WINAPI SecretAgreement(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE,
                                       NCRYPT_SECRET_HANDLE *, DWORD) {
    return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI DeriveKey(NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE, LPCWSTR, NCryptBufferDesc *, PBYTE, DWORD,
                                 DWORD *, ULONG) {
    return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI FreeSecret(NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE) { return NTE_NOT_SUPPORTED; }
