// The trace log's in-process logic through the platform seam. The capture environment opened the
// log once at start-up; ReopenedLog lets a test make a fresh opening attempt and puts the captured
// log back afterwards.
#include "test_support.h"

#include "trace_log.h"

#include <atomic>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class ReopenedLog {
public:
    ReopenedLog()
        : attempted_(logOpenAttempted.load()), on_(loggingOn), handle_(logFileHandle) {
        logOpenAttempted = 0;
        loggingOn = 0;
    }
    ~ReopenedLog() {
        logOpenAttempted = attempted_;
        loggingOn = on_;
        logFileHandle = handle_;
    }
    ReopenedLog(const ReopenedLog &) = delete;
    ReopenedLog &operator=(const ReopenedLog &) = delete;
    HANDLE capturedHandle() const { return handle_; }

private:
    int attempted_;
    int on_;
    HANDLE handle_;
};

// What the fakes of one test saw.
struct Seen {
    int folderLookups = 0;
    int creates = 0;
    std::wstring createdPath;
    DWORD access = 0, share = 0, disposition = 0, attributes = 0;
    std::vector<DWORD> moduleNameSizes;
    bool smallJoinBuffer = false;
};
Seen seen;
HANDLE createResult = INVALID_HANDLE_VALUE;
std::wstring modulePath;
DWORD attributesAnswer = 0;

BOOL WINAPI CountingFolderLookup(HWND, LPWSTR path, int, BOOL) {
    ++seen.folderLookups;
    lstrcpyW(path, L"C:\\fake-appdata");
    return TRUE;
}
BOOL WINAPI FailingFolderLookup(HWND, LPWSTR, int, BOOL) {
    ++seen.folderLookups;
    return FALSE;
}
DWORD WINAPI DirectoryAttributes(LPCWSTR) { return FILE_ATTRIBUTE_DIRECTORY; }
// Only the application-data folder is a plain file: past it, a missing folder would pass the checks.
DWORD WINAPI AppDataIsPlainFile(LPCWSTR path) {
    return lstrcmpW(path, L"C:\\fake-appdata") == 0 ? FILE_ATTRIBUTE_ARCHIVE : INVALID_FILE_ATTRIBUTES;
}
DWORD WINAPI FolderIsPlainFile(LPCWSTR path) {
    return lstrcmpW(path, L"C:\\fake-appdata") == 0 ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}
DWORD WINAPI AnsweredAttributes(LPCWSTR) { return attributesAnswer; }
LPWSTR WINAPI FailingJoin(LPWSTR dest, LPCWSTR, LPCWSTR) {
    dest[0] = L'\0';
    return nullptr;
}
// The platform's contract: the destination holds MAX_PATH units.
LPWSTR WINAPI CheckingJoin(LPWSTR dest, LPCWSTR base, LPCWSTR name) {
    if (HeapSize(GetProcessHeap(), 0, dest) < MAX_PATH * sizeof(wchar_t)) {
        seen.smallJoinBuffer = true;
    }
    return RealPlatform().PathCombineW(dest, base, name);
}
// Refuse one join each and make the other as the platform does, so that going on after the refused one
// would reach CreateFileW.
LPWSTR WINAPI FolderJoinFails(LPWSTR dest, LPCWSTR base, LPCWSTR name) {
    return lstrcmpW(name, L"QuorvKSP") == 0 ? FailingJoin(dest, base, name) : CheckingJoin(dest, base, name);
}
LPWSTR WINAPI FileJoinFails(LPWSTR dest, LPCWSTR base, LPCWSTR name) {
    return lstrcmpW(name, L"trace.txt") == 0 ? FailingJoin(dest, base, name) : CheckingJoin(dest, base, name);
}
HANDLE WINAPI RecordingCreate(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                              DWORD attributes, HANDLE) {
    ++seen.creates;
    seen.createdPath = path;
    seen.access = access;
    seen.share = share;
    seen.disposition = disposition;
    seen.attributes = attributes;
    return createResult;
}
// Behaves like the real call: a cut path fills the buffer without a NUL and answers its size.
DWORD WINAPI FakeModuleName(HMODULE, LPWSTR buffer, DWORD size) {
    seen.moduleNameSizes.push_back(size);
    if (modulePath.empty()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    const DWORD length = static_cast<DWORD>(modulePath.size());
    if (length >= size) {
        modulePath.copy(buffer, size);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    lstrcpyW(buffer, modulePath.c_str());
    return length;
}
BOOL WINAPI FailingWrite(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

void ResetFakes() {
    seen = Seen{};
    createResult = INVALID_HANDLE_VALUE;
    modulePath.clear();
}

TEST(TraceLogFolderCheck, MissingOrDirectoryByAttributes) {
    struct Case {
        DWORD attributes;
        bool expected;
    };
    const Case cases[] = {
        {INVALID_FILE_ATTRIBUTES, true},
        {FILE_ATTRIBUTE_DIRECTORY, true},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, true},
        {FILE_ATTRIBUTE_NORMAL, false},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, false},
        {0, false},
    };
    ScopedPlatform platform;
    g_platform.GetFileAttributesW = AnsweredAttributes;
    for (const Case &c : cases) {
        attributesAnswer = c.attributes;
        EXPECT_EQ(c.expected, IsMissingOrDirectory(L"C:\\any")) << std::hex << c.attributes;
    }
}

TEST(TraceLogOpening, EachFailureWritesNothingAndIsNeverRetried) {
    struct Case {
        const char *name;
        decltype(PlatformApi::SHGetSpecialFolderPathW) lookup;
        decltype(PlatformApi::GetFileAttributesW) attributes;
        decltype(PlatformApi::PathCombineW) join;
        int expectedCreates;
    };
    const Case cases[] = {
        {"folder lookup fails", FailingFolderLookup, DirectoryAttributes, CheckingJoin, 0},
        {"application data is a file", CountingFolderLookup, AppDataIsPlainFile, CheckingJoin, 0},
        {"folder join fails", CountingFolderLookup, DirectoryAttributes, FolderJoinFails, 0},
        {"file join fails", CountingFolderLookup, DirectoryAttributes, FileJoinFails, 0},
        {"QuorvKSP is a file", CountingFolderLookup, FolderIsPlainFile, CheckingJoin, 0},
        {"file cannot be opened", CountingFolderLookup, DirectoryAttributes, CheckingJoin, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResetFakes();
        ScopedPlatform platform;
        ReopenedLog reopened;
        g_platform.SHGetSpecialFolderPathW = c.lookup;
        g_platform.GetFileAttributesW = c.attributes;
        g_platform.PathCombineW = c.join;
        g_platform.CreateFileW = RecordingCreate;
        g_platform.GetModuleFileNameW = FakeModuleName;
        ClearCapturedLog();

        LogMessage(L"first");
        LogMessage(L"second");
        EXPECT_FALSE(OpenLogOnce());
        EXPECT_EQ(1, seen.folderLookups);
        EXPECT_EQ(c.expectedCreates, seen.creates);
        EXPECT_TRUE(seen.moduleNameSizes.empty());
        EXPECT_TRUE(CapturedRawLogLines().empty());
        EXPECT_EQ(0, loggingOn);
    }
}

TEST(TraceLogOpening, OpensTraceFileForSharedAppendAndStartsWithTheImageName) {
    ResetFakes();
    ScopedPlatform platform;
    ReopenedLog reopened;
    g_platform.SHGetSpecialFolderPathW = CountingFolderLookup;
    g_platform.PathCombineW = CheckingJoin;
    g_platform.CreateFileW = RecordingCreate;
    g_platform.GetModuleFileNameW = FakeModuleName;
    createResult = reopened.capturedHandle();
    modulePath = L"C:\\apps\\host.exe";
    ClearCapturedLog();

    LogMessage(L"first %d", 1);
    LogMessage(L"second");
    EXPECT_EQ(L"C:\\fake-appdata\\QuorvKSP\\trace.txt", seen.createdPath);
    EXPECT_EQ(static_cast<DWORD>(FILE_APPEND_DATA), seen.access);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE), seen.share);
    EXPECT_EQ(static_cast<DWORD>(OPEN_ALWAYS), seen.disposition);
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL), seen.attributes);
    EXPECT_FALSE(seen.smallJoinBuffer) << "PathCombineW given less than MAX_PATH units";
    EXPECT_EQ(1, seen.creates);
    const std::vector<std::string> expected = {"Starting log session - image name: C:\\apps\\host.exe", "first 1",
                                               "second"};
    EXPECT_EQ(expected, CapturedLogLines());
}

TEST(TraceLogOpening, ImageNameBufferGrowsUntilThePathFits) {
    struct Case {
        std::size_t pathUnits;
        std::vector<DWORD> sizes;
    };
    const Case cases[] = {
        {9, {10}},
        {10, {10, 20}},
        {19, {10, 20}},
        {20, {10, 20, 40}},
        {300, {10, 20, 40, 80, 160, 320}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pathUnits);
        ResetFakes();
        ScopedPlatform platform;
        ReopenedLog reopened;
        g_platform.CreateFileW = RecordingCreate;
        g_platform.GetModuleFileNameW = FakeModuleName;
        createResult = reopened.capturedHandle();
        modulePath = L"C:\\" + std::wstring(c.pathUnits - 7, L'p') + L".exe";
        ClearCapturedLog();

        LogMessage(L"message");
        EXPECT_EQ(c.sizes, seen.moduleNameSizes);
        const std::vector<std::string> expected = {"Starting log session - image name: " + Narrow(modulePath),
                                                   "message"};
        EXPECT_EQ(expected, CapturedLogLines());
    }
}

TEST(TraceLogOpening, UnreadableImageNameSkipsOnlyTheStartLine) {
    ResetFakes();
    ScopedPlatform platform;
    ReopenedLog reopened;
    g_platform.CreateFileW = RecordingCreate;
    g_platform.GetModuleFileNameW = FakeModuleName;
    createResult = reopened.capturedHandle();
    ClearCapturedLog();

    LogMessage(L"message");
    EXPECT_EQ(std::vector<DWORD>{10}, seen.moduleNameSizes);
    EXPECT_EQ(std::vector<std::string>{"message"}, CapturedLogLines());
}

TEST(TraceLogLines, EmptyMessageIsThePrefixAndALineFeed) {
    ClearCapturedLog();
    LogMessage(L"%s", L"");
    const std::vector<std::string> raw = CapturedRawLogLines();
    ASSERT_EQ(1u, raw.size());
    ASSERT_EQ(23u, raw[0].size());
    EXPECT_EQ('[', raw[0][0]);
    EXPECT_EQ("] \n", raw[0].substr(20));
}

void WINAPI LocalTimeAfter2038(LPSYSTEMTIME time) {
    *time = SYSTEMTIME{2040, 2, 3, 29, 1, 2, 3, 456};
}

// The 32-bit C runtime's time_t runs out in January 2038; the stamp must not depend on it.
TEST(TraceLogLines, StampIsThePlatformsLocalTimeAfter2038Too) {
    ScopedPlatform platform;
    g_platform.GetLocalTime = LocalTimeAfter2038;
    ClearCapturedLog();
    LogMessage(L"leap day");
    EXPECT_EQ(std::vector<std::string>{"[2040-02-29 01:02:03] leap day\n"}, CapturedRawLogLines());
}

TEST(TraceLogLines, LastErrorSurvivesLoggingWhateverFailsInside) {
    ScopedPlatform platform;
    g_platform.WriteFile = FailingWrite;
    SetLastError(ERROR_INVALID_DATA);
    LogMessage(L"line %s", L"x");
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());

    // The opening and the module-name query set errors of their own as well.
    ResetFakes();
    ReopenedLog reopened;
    g_platform.CreateFileW = RecordingCreate;
    g_platform.GetModuleFileNameW = FakeModuleName;
    createResult = reopened.capturedHandle();
    modulePath = L"C:\\a-longer-path\\host.exe";
    SetLastError(ERROR_NOT_FOUND);
    LogMessage(L"opening");
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), GetLastError());
}

struct LocaleWatch {
    std::string expected;
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> changed{0};
};

DWORD WINAPI ReadLocaleUntilDone(LPVOID parameter) {
    auto *watch = static_cast<LocaleWatch *>(parameter);
    while (!watch->done.load()) {
        const char *now = std::setlocale(LC_ALL, nullptr);
        if (now == nullptr || watch->expected != now) {
            ++watch->changed;
        }
        ++watch->reads;
    }
    return 0;
}

// The C runtime's locale belongs to the host: writing a line must never switch it, not even briefly.
TEST(TraceLogLines, HostLocaleStaysAsTheHostSetIt) {
    const char *set = std::setlocale(LC_ALL, "English_United States.1252");
    ASSERT_NE(nullptr, set);
    LocaleWatch watch;
    watch.expected = set;
    const HANDLE reader = CreateThread(nullptr, 0, ReadLocaleUntilDone, &watch, 0, nullptr);
    ASSERT_NE(nullptr, reader);
    while (watch.reads.load() == 0) {
        Sleep(0);
    }
    for (int i = 0; i < 2000; ++i) {
        LogMessage(L"line %d", i);
    }
    watch.done = true;
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    std::setlocale(LC_ALL, "C");
    ClearCapturedLog();
    EXPECT_EQ(0, watch.changed.load()) << "of " << watch.reads.load() << " reads";
}

}  // namespace
