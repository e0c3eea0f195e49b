#include "entry_points.h"

SECURITY_STATUS WINAPI SignHash(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, VOID *, PBYTE, DWORD, PBYTE, DWORD, DWORD *,
                                DWORD) {
    return NTE_NOT_SUPPORTED;
}
