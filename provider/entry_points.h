// The functions behind the key storage function table, grouped by the file that defines them.
#pragma once

#include "ksp_interface.h"

extern "C" {
// entry.cpp: the export and the DLL's life
SECURITY_STATUS WINAPI GetKeyStorageInterface(LPCWSTR pszProviderName,
                                              NCRYPT_KEY_STORAGE_FUNCTION_TABLE **ppFunctionTable, DWORD dwFlags);
BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
}

// entry.cpp: FreeBuffer and the operations the provider refuses
SECURITY_STATUS WINAPI FreeBuffer(PVOID pvInput);
SECURITY_STATUS WINAPI CreatePersistedKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE *, LPCWSTR, LPCWSTR, DWORD, DWORD);
SECURITY_STATUS WINAPI SetKeyProperty(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD);
SECURITY_STATUS WINAPI FinalizeKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD);
SECURITY_STATUS WINAPI DeleteKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD);
SECURITY_STATUS WINAPI Encrypt(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, PBYTE, DWORD, VOID *, PBYTE, DWORD, DWORD *,
                               DWORD);
SECURITY_STATUS WINAPI EnumKeys(NCRYPT_PROV_HANDLE, LPCWSTR, NCryptKeyName **, PVOID *, DWORD);
SECURITY_STATUS WINAPI ExportKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR,
                                 NCryptBufferDesc *, PBYTE, DWORD, DWORD *, DWORD);
SECURITY_STATUS WINAPI VerifySignature(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, VOID *, PBYTE, DWORD, PBYTE, DWORD,
                                       DWORD);
SECURITY_STATUS WINAPI PromptUser(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, DWORD);
SECURITY_STATUS WINAPI NotifyChangeKey(NCRYPT_PROV_HANDLE, HANDLE *, DWORD);
SECURITY_STATUS WINAPI SecretAgreement(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE,
                                       NCRYPT_SECRET_HANDLE *, DWORD);
SECURITY_STATUS WINAPI DeriveKey(NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE, LPCWSTR, NCryptBufferDesc *, PBYTE,
                                 DWORD, DWORD *, ULONG);
SECURITY_STATUS WINAPI FreeSecret(NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE);

// handles.cpp: OpenProvider, FreeProvider, OpenKey, FreeKey, ImportKey (declared in handles.h)

// signing.cpp
SECURITY_STATUS WINAPI SignHash(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID *pPaddingInfo,
                                PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                DWORD *pcbResult, DWORD dwFlags);

// decryption.cpp
SECURITY_STATUS WINAPI Decrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput,
                               VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                               DWORD dwFlags);

// provider_properties.cpp
SECURITY_STATUS WINAPI GetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput,
                                           DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI SetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbInput,
                                           DWORD cbInput, DWORD dwFlags);
SECURITY_STATUS WINAPI IsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId, DWORD dwFlags);
SECURITY_STATUS WINAPI EnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations, DWORD *pdwAlgCount,
                                      NCryptAlgorithmName **ppAlgList, DWORD dwFlags);

// key_properties.cpp
SECURITY_STATUS WINAPI GetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR pszProperty,
                                      PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags);

// The static table handed out by GetKeyStorageInterface.
extern const NCRYPT_KEY_STORAGE_FUNCTION_TABLE keyStorageFunctionTable;
