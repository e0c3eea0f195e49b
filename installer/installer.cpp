#include "installer.h"

#include "installer_platform.h"

#include <memory>
#include <new>

namespace {

constexpr wchar_t kProviderName[] = L"Quorv KSP";
// The 32-bit source file beside the installer and the image name both targets are installed under.
constexpr wchar_t kImageName[] = L"QuorvKSP.dll";
constexpr wchar_t kSource64Name[] = L"QUORVKSP64.dll";
// Fixed on purpose: a 32-bit process sees the 32-bit system directory as system32 and reaches the
// native one only through sysnative.
constexpr wchar_t kTarget32[] = L"c:\\windows\\system32\\QuorvKSP.dll";
constexpr wchar_t kTarget64[] = L"c:\\windows\\sysnative\\QuorvKSP.dll";
constexpr wchar_t kFunctionName[] = NCRYPT_KEY_STORAGE_ALGORITHM;
constexpr wchar_t kVersion[] = L"1.5";

constexpr wchar_t kUsage[] =
    L"Quorv KSP Installer %ls.\n"
    L"Copies the Quorv KSP DLLs into the system directories and registers the provider with CNG.\n"
    L"\n"
    L"Usage:\n"
    L"Installer -install        | Installs KSP\n"
    L"Installer -uninstall      | Uninstalls KSP\n"
    L"If no parameter is specified, the KSP will prompt for installation\n";

struct MessageBoxSpec {
    const wchar_t *text;
    const wchar_t *caption;
    UINT style;
};

constexpr MessageBoxSpec kQuestionBox = {L"This will install Quorv KSP. Do you want to continue?",
                                         L"Quorv KSP installation", MB_YESNO | MB_ICONQUESTION};
constexpr MessageBoxSpec kSuccessBox = {L"The Quorv KSP was successfully installed.", L"Installation result",
                                        MB_OK | MB_ICONINFORMATION};
constexpr MessageBoxSpec kFailureBox = {L"The Quorv KSP installation was not successful.",
                                        L"Installation result", MB_OK | MB_ICONERROR};

int ShowBox(const MessageBoxSpec &box) { return g_installer.MessageBoxW(nullptr, box.text, box.caption, box.style); }

// The registration handed to BCryptRegisterProvider. The platform's records take non-const strings,
// hence the writable arrays.
wchar_t g_alias1[] = L"Vandrel RSA Full Provider 1.2";
wchar_t g_alias2[] = L"Quorv CSP";
PWSTR g_aliases[] = {g_alias1, g_alias2};
wchar_t g_image[] = L"QuorvKSP.dll";
wchar_t g_function[] = NCRYPT_KEY_STORAGE_ALGORITHM;
PWSTR g_functions[] = {g_function};
CRYPT_INTERFACE_REG g_interfaceReg = {NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, 1, g_functions};
PCRYPT_INTERFACE_REG g_interfaces[] = {&g_interfaceReg};
CRYPT_IMAGE_REG g_imageReg = {g_image, 1, g_interfaces};
CRYPT_PROVIDER_REG g_providerReg = {2, g_aliases, &g_imageReg, nullptr};

// Only a negative status is a failure; CNG's informational statuses are positive.
bool Failed(NTSTATUS status) { return status < 0; }

using PathBuffer = std::unique_ptr<wchar_t[]>;

PathBuffer NewPathBuffer(DWORD characters) { return PathBuffer(new (std::nothrow) wchar_t[characters]); }

// The installer's own program path. A result equal to the size means the path was cut, so the buffer
// doubles until the whole path fits. Null when the platform or the heap fails.
PathBuffer ReadProgramPath() {
    DWORD size = 10;
    PathBuffer path = NewPathBuffer(size);
    while (path) {
        const DWORD length = g_installer.GetModuleFileNameW(nullptr, path.get(), size);
        if (length == 0) {
            return nullptr;
        }
        if (length < size) {
            return path;
        }
        if (size > MAXDWORD / 2) {
            return nullptr;
        }
        size *= 2;
        path.reset();
        path = NewPathBuffer(size);
    }
    return nullptr;
}

// The file name joined to the installer's folder, or null when the join is refused.
PathBuffer JoinToFolder(const wchar_t *folder, const wchar_t *fileName) {
    PathBuffer joined = NewPathBuffer(MAX_PATH);
    if (joined && g_installer.PathCombineW(joined.get(), folder, fileName) == nullptr) {
        joined.reset();
    }
    return joined;
}

bool RunsUnderWow64() {
    BOOL wow64 = FALSE;
    return g_installer.IsWow64Process(g_installer.GetCurrentProcess(), &wow64) && wow64;
}

// A file that is not there counts as removed; one that stays in place is reported.
bool DeleteInstalledFile(const wchar_t *path, int silent) {
    if (g_installer.DeleteFileW(path)) {
        return true;
    }
    const DWORD error = g_installer.GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return true;
    }
    if (silent == 0) {
        g_installer.PrintWide(L"ERR015: Couldn't delete file %ls: %x\n", path, static_cast<unsigned>(error));
    }
    return false;
}

// Case-insensitive for A to Z only, so that no locale's folding can make another word match.
wchar_t FoldAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool MatchesCommand(const wchar_t *argument, const wchar_t *command) {
    for (;; ++argument, ++command) {
        const wchar_t a = FoldAsciiLetter(*argument);
        if (a != FoldAsciiLetter(*command)) {
            return false;
        }
        if (a == L'\0') {
            return true;
        }
    }
}

}  // namespace

int InstallProvider(int prompt) {
    if (prompt != 0 && ShowBox(kQuestionBox) != IDYES) {
        g_installer.PrintBytes("ERR014: Installation aborted.\n");
        return 0;
    }

    // Start from a clean machine whatever an earlier run left; what this meets does not matter.
    UninstallProvider(1);
    g_installer.PrintBytes("Installing Quorv KSP...\n");

    PathBuffer folder = ReadProgramPath();
    if (!folder) {
        g_installer.PrintBytes("ERR001: Couldn't get image file name\n");
        return 0;
    }
    if (!g_installer.PathRemoveFileSpecW(folder.get())) {
        g_installer.PrintBytes("ERR002: Error getting image file name\n");
        return 0;
    }

    PathBuffer source32 = JoinToFolder(folder.get(), kImageName);
    if (!source32) {
        g_installer.PrintBytes("ERR003: Error getting image file name\n");
        return 0;
    }
    if (!g_installer.CopyFileW(source32.get(), kTarget32, FALSE)) {
        g_installer.PrintBytes("ERR005: Couldn't copy file: %x\n", static_cast<unsigned>(g_installer.GetLastError()));
        return 0;
    }

    BOOL wow64 = FALSE;
    if (!g_installer.IsWow64Process(g_installer.GetCurrentProcess(), &wow64)) {
        g_installer.PrintBytes("ERR011: Error installing provider\n");
        return 0;
    }
    if (wow64) {
        PathBuffer source64 = JoinToFolder(folder.get(), kSource64Name);
        if (!source64) {
            g_installer.PrintBytes("ERR012: Error getting image file name\n");
            return 0;
        }
        if (!g_installer.CopyFileW(source64.get(), kTarget64, FALSE)) {
            g_installer.PrintBytes("ERR013: Couldn't copy file: %x\n",
                                   static_cast<unsigned>(g_installer.GetLastError()));
            return 0;
        }
    }

    NTSTATUS status = g_installer.BCryptRegisterProvider(kProviderName, 0, &g_providerReg);
    if (Failed(status)) {
        g_installer.PrintWide(L"ERR006: BCryptRegisterProvider failed with error code 0x%08x\n",
                              static_cast<unsigned>(status));
        return 0;
    }
    status = g_installer.BCryptAddContextFunction(CRYPT_LOCAL, nullptr, NCRYPT_KEY_STORAGE_INTERFACE, kFunctionName,
                                                  CRYPT_PRIORITY_BOTTOM);
    if (Failed(status)) {
        g_installer.PrintWide(L"ERR007: BCryptAddContextFunction failed with error code 0x%08x\n",
                              static_cast<unsigned>(status));
        return 0;
    }
    status = g_installer.BCryptAddContextFunctionProvider(CRYPT_LOCAL, nullptr, NCRYPT_KEY_STORAGE_INTERFACE,
                                                          kFunctionName, kProviderName, CRYPT_PRIORITY_BOTTOM);
    if (Failed(status)) {
        g_installer.PrintWide(L"ERR008: BCryptAddContextFunctionProvider failed with error code 0x%08x\n",
                              static_cast<unsigned>(status));
        return 0;
    }
    return 1;
}

int UninstallProvider(int silent) {
    if (silent == 0) {
        g_installer.PrintBytes("Uninstalling Quorv KSP...\n");
    }
    // The function itself stays in the context: other providers may be listed under it.
    g_installer.BCryptRemoveContextFunctionProvider(CRYPT_LOCAL, nullptr, NCRYPT_KEY_STORAGE_INTERFACE,
                                                    kFunctionName, kProviderName);
    g_installer.BCryptUnregisterProvider(kProviderName);

    bool removed = DeleteInstalledFile(kTarget32, silent);
    if (RunsUnderWow64()) {
        removed = DeleteInstalledFile(kTarget64, silent) && removed;
    }
    return removed ? 1 : 0;
}

int RunInstaller(int argc, wchar_t **argv) {
    if (argc <= 1) {
        if (InstallProvider(1)) {
            g_installer.PrintBytes("Installation successful.\n");
            ShowBox(kSuccessBox);
            return 0;
        }
        g_installer.PrintBytes("ERR009: Installation failed\n");
        ShowBox(kFailureBox);
        return -1;
    }

    const wchar_t *command = argv[1];
    if (MatchesCommand(command, L"-install")) {
        if (InstallProvider(0)) {
            g_installer.PrintBytes("Installation successful.\n");
            return 0;
        }
        g_installer.PrintBytes("ERR009: Installation failed\n");
        return -1;
    }
    if (MatchesCommand(command, L"-uninstall")) {
        if (UninstallProvider(0)) {
            g_installer.PrintBytes("Uninstallation successful.\n");
            return 0;
        }
        return -1;
    }

    g_installer.PrintWide(L"Unrecognized command \"%ls\"\n", command);
    g_installer.PrintWide(kUsage, kVersion);
    return 1;
}
