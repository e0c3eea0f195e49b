#include "test_support.h"

#include "trace_log.h"

#include <cstdio>
#include <fstream>
#include <mutex>

LoadedProvider::LoadedProvider() {
    module_ = LoadLibraryW(KSP_DLL_PATH);
    if (module_ == nullptr) {
        ADD_FAILURE() << "LoadLibraryW failed: " << GetLastError();
        return;
    }
    auto entry = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(module_, "GetKeyStorageInterface")));
    if (entry == nullptr) {
        ADD_FAILURE() << "GetKeyStorageInterface not exported";
        return;
    }
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, entry(L"Quorv CSP", &table, 0));
    table_ = table;
}

LoadedProvider::~LoadedProvider() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

std::string Narrow(const std::wstring &text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

namespace {

// Never destroyed: the trace log's static Holder writes its last line during static destruction,
// possibly after this file's objects would have gone.
std::mutex &capturedMutex = *new std::mutex;
std::vector<std::string> &capturedLines = *new std::vector<std::string>;
HANDLE const kFakeLogHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7A11));

BOOL WINAPI FakeSpecialFolder(HWND, LPWSTR path, int, BOOL) {
    lstrcpyW(path, L"C:\\fake-appdata");
    return TRUE;
}

DWORD WINAPI FakeAttributes(LPCWSTR) { return FILE_ATTRIBUTE_DIRECTORY; }

HANDLE WINAPI FakeCreateFile(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return kFakeLogHandle;
}

BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    if (file != kFakeLogHandle) {
        return RealPlatform().WriteFile(file, data, size, written, nullptr);
    }
    std::lock_guard<std::mutex> lock(capturedMutex);
    capturedLines.emplace_back(static_cast<const char *>(data), size);
    if (written != nullptr) {
        *written = size;
    }
    return TRUE;
}

BOOL WINAPI FakeFlush(HANDLE file) { return file == kFakeLogHandle ? TRUE : RealPlatform().FlushFileBuffers(file); }

BOOL WINAPI FakeClose(HANDLE file) { return file == kFakeLogHandle ? TRUE : RealPlatform().CloseHandle(file); }

class LogCaptureEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        g_platform.SHGetSpecialFolderPathW = FakeSpecialFolder;
        g_platform.GetFileAttributesW = FakeAttributes;
        g_platform.CreateFileW = FakeCreateFile;
        g_platform.WriteFile = FakeWriteFile;
        g_platform.FlushFileBuffers = FakeFlush;
        g_platform.CloseHandle = FakeClose;
        LogMessage(L"Test program started");
    }
};

[[maybe_unused]] ::testing::Environment *const logCaptureEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

}  // namespace

std::vector<std::string> CapturedRawLogLines() {
    std::lock_guard<std::mutex> lock(capturedMutex);
    return capturedLines;
}

std::vector<std::string> CapturedLogLines() {
    std::vector<std::string> messages;
    for (const std::string &line : CapturedRawLogLines()) {
        // "[YYYY-MM-DD HH:MM:SS] " is 22 bytes; the line ends with one line feed.
        messages.push_back(line.size() >= 23 ? line.substr(22, line.size() - 23) : line);
    }
    return messages;
}

void ClearCapturedLog() {
    std::lock_guard<std::mutex> lock(capturedMutex);
    capturedLines.clear();
}

void NoteNotChecked(const std::string &reason) {
    ::testing::Test::RecordProperty("not_checked", reason);
    std::printf("[   NOTE   ] not checked: %s\n", reason.c_str());
    std::fflush(stdout);
}

bool Emulated32BitThreads() {
    if (sizeof(void *) != 4) {
        return false;
    }
    std::ifstream entry("Z:\\proc\\sys\\fs\\binfmt_misc\\qemu-i386");
    std::string state;
    return static_cast<bool>(entry >> state) && state == "enabled";
}
