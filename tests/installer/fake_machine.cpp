#include "fake_machine.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

FakeMachine *g_machine = nullptr;

std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

std::string Text(LPCWSTR text) { return text == nullptr ? "null" : Utf8(text); }

void Record(const std::string &entry) { g_machine->timeline.push_back(entry); }

int WINAPI FakeMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
    Record("box " + Hex(style) + (owner == nullptr ? "" : " owned") + " [" + Text(caption) + "] " + Text(text));
    return g_machine->boxAnswer;
}

// As the platform does: a path that does not fit with its NUL is cut and the full size returned.
DWORD WINAPI FakeModuleFileName(HMODULE module, LPWSTR buffer, DWORD size) {
    EXPECT_EQ(nullptr, module);
    g_machine->moduleBufferSizes.push_back(size);
    if (g_machine->moduleNameFails) {
        g_machine->lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const std::wstring &path = g_machine->programPath;
    if (path.size() + 1 > size) {
        std::wmemcpy(buffer, path.c_str(), size - 1);
        buffer[size - 1] = L'\0';
        g_machine->lastError = ERROR_INSUFFICIENT_BUFFER;
        return size;
    }
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

BOOL WINAPI FakeRemoveFileSpec(LPWSTR path) {
    return g_machine->removeFileSpecFails ? FALSE : RealInstallerApi().PathRemoveFileSpecW(path);
}

LPWSTR WINAPI FakeCombine(LPWSTR destination, LPCWSTR folder, LPCWSTR file) {
    if (file != nullptr && g_machine->joinRefusedFor == file) {
        return nullptr;
    }
    return RealInstallerApi().PathCombineW(destination, folder, file);
}

BOOL WINAPI FakeCopy(LPCWSTR source, LPCWSTR target, BOOL failIfExists) {
    Record("CopyFileW " + Text(source) + " " + Text(target) + " " + std::to_string(failIfExists));
    const auto error = g_machine->copyErrors.find(target);
    if (error != g_machine->copyErrors.end()) {
        g_machine->lastError = error->second;
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeDelete(LPCWSTR target) {
    Record("DeleteFileW " + Text(target));
    const auto error = g_machine->deleteErrors.find(target);
    if (error != g_machine->deleteErrors.end()) {
        g_machine->lastError = error->second;
        return FALSE;
    }
    return TRUE;
}

HANDLE const kOwnProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

HANDLE WINAPI FakeCurrentProcess() { return kOwnProcess; }

BOOL WINAPI FakeIsWow64(HANDLE process, PBOOL wow64) {
    Record(std::string("IsWow64Process") + (*wow64 == FALSE ? "" : " flag not preset"));
    EXPECT_EQ(kOwnProcess, process);
    // The flag is written even by a failing query, so that a caller trusting it would show.
    *wow64 = g_machine->wow64 ? TRUE : FALSE;
    return g_machine->wow64QueryFails ? FALSE : TRUE;
}

DWORD WINAPI FakeLastError() { return g_machine->lastError; }

NTSTATUS WINAPI FakeRegister(LPCWSTR provider, ULONG flags, PCRYPT_PROVIDER_REG reg) {
    Record("BCryptRegisterProvider " + Text(provider) + " " + Hex(flags));
    RegistrationCopy &copy = g_machine->registration;
    copy.seen = true;
    copy.provider = provider;
    copy.flags = flags;
    for (ULONG i = 0; i < reg->cAliases; ++i) {
        copy.aliases.push_back(reg->rgpszAliases[i]);
    }
    copy.hasKernelMode = reg->pKM != nullptr;
    copy.hasUserMode = reg->pUM != nullptr;
    if (reg->pUM != nullptr) {
        copy.image = reg->pUM->pszImage;
        copy.interfaceCount = reg->pUM->cInterfaces;
        if (copy.interfaceCount > 0) {
            const CRYPT_INTERFACE_REG *item = reg->pUM->rgpInterfaces[0];
            copy.interfaceId = item->dwInterface;
            copy.interfaceFlags = item->dwFlags;
            for (ULONG i = 0; i < item->cFunctions; ++i) {
                copy.functions.push_back(item->rgpszFunctions[i]);
            }
        }
    }
    return g_machine->registerStatus;
}

NTSTATUS WINAPI FakeUnregister(LPCWSTR provider) {
    Record("BCryptUnregisterProvider " + Text(provider));
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WINAPI FakeAddFunction(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function, ULONG position) {
    Record("BCryptAddContextFunction " + Hex(table) + " " + Text(context) + " " + Hex(interfaceId) + " " +
           Text(function) + " " + Hex(position));
    return g_machine->addFunctionStatus;
}

NTSTATUS WINAPI FakeAddProvider(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function,
                                LPCWSTR provider, ULONG position) {
    Record("BCryptAddContextFunctionProvider " + Hex(table) + " " + Text(context) + " " + Hex(interfaceId) + " " +
           Text(function) + " " + Text(provider) + " " + Hex(position));
    return g_machine->addProviderStatus;
}

NTSTATUS WINAPI FakeRemoveProvider(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function,
                                   LPCWSTR provider) {
    Record("BCryptRemoveContextFunctionProvider " + Hex(table) + " " + Text(context) + " " + Hex(interfaceId) +
           " " + Text(function) + " " + Text(provider));
    return STATUS_NOT_IMPLEMENTED;
}

int FakePrintBytes(const char *format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Record(std::string("print ") + text);
    return written;
}

int FakePrintWide(const wchar_t *format, ...) {
    wchar_t text[2048];
    va_list args;
    va_start(args, format);
    const int written = std::vswprintf(text, sizeof text / sizeof text[0], format, args);
    va_end(args);
    Record("wprint " + Utf8(text));
    return written;
}

const InstallerApi kFakeApi = {
    FakeMessageBox,   FakeModuleFileName, FakeRemoveFileSpec, FakeCombine,    FakeCopy,
    FakeDelete,       FakeCurrentProcess, FakeIsWow64,        FakeLastError,  FakeRegister,
    FakeUnregister,   FakeAddFunction,    FakeAddProvider,    FakeRemoveProvider,
    FakePrintBytes,   FakePrintWide,
};

}  // namespace

const char kUsageText[] =
    "Quorv KSP Installer 1.5.\n"
    "Copies the Quorv KSP DLLs into the system directories and registers the provider with CNG.\n"
    "\n"
    "Usage:\n"
    "Installer -install        | Installs KSP\n"
    "Installer -uninstall      | Uninstalls KSP\n"
    "If no parameter is specified, the KSP will prompt for installation\n";

std::string Utf8(const std::wstring &text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::string FakeMachine::Console() const {
    std::string console;
    for (const std::string &entry : timeline) {
        if (entry.rfind("print ", 0) == 0) {
            console += entry.substr(6);
        } else if (entry.rfind("wprint ", 0) == 0) {
            console += entry.substr(7);
        }
    }
    return console;
}

std::vector<std::string> FakeMachine::Entries(const std::string &prefix) const {
    std::vector<std::string> found;
    for (const std::string &entry : timeline) {
        if (entry.rfind(prefix, 0) == 0) {
            found.push_back(entry);
        }
    }
    return found;
}

void InstallerTest::SetUp() {
    saved_ = g_installer;
    g_machine = &machine;
    g_installer = kFakeApi;
}

void InstallerTest::TearDown() {
    g_installer = saved_;
    g_machine = nullptr;
}

int InstallerTest::Run(std::vector<std::wstring> arguments) {
    std::vector<wchar_t *> argv;
    std::wstring program = L"Installer.exe";
    argv.push_back(program.data());
    for (std::wstring &argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return RunInstaller(static_cast<int>(argv.size() - 1), argv.data());
}
