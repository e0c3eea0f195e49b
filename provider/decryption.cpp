#include "entry_points.h"

SECURITY_STATUS WINAPI Decrypt(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, PBYTE, DWORD, VOID *, PBYTE, DWORD, DWORD *,
                               DWORD) {
    return NTE_NOT_SUPPORTED;
}
