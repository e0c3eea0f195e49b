// One place for the platform headers, in the order that lets winnt.h and ntstatus.h coexist.
#pragma once

#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <wincrypt.h>
#include <bcrypt.h>
#include <ncrypt.h>
#include <shlobj.h>
#include <shlwapi.h>
