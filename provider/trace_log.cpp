#include "trace_log.h"

#include "platform.h"

#include <cstdarg>
#include <cstring>

// Statically initialised, never destroyed: the Holder's destructor and anything after it may still log.
SRWLOCK logMutex = SRWLOCK_INIT;
std::atomic<bool> processTerminating{false};
std::atomic<int> logOpenAttempted{0};
int loggingOn = 0;
HANDLE logFileHandle = nullptr;
static Holder logHolder;

namespace {

constexpr int kFormatBufferUnits = 1024;
constexpr DWORD kFirstPathBufferUnits = 10;
// Far beyond any module path; only stops the doubling before the byte count could wrap.
constexpr DWORD kLargestPathBufferUnits = 0x4000000;
const wchar_t kLogFolderName[] = L"QuorvKSP";
const wchar_t kLogFileName[] = L"trace.txt";

// Takes logMutex for a scope; once the process is terminating it only tries.
class LogLock {
public:
    LogLock() : lock_(logMutex, processTerminating.load(std::memory_order_acquire)) {}
    bool owns() const { return lock_.owns(); }

private:
    ExclusiveLock lock_;
};

// Restores the thread's last error on scope exit, so that logging a failure line never changes
// the error a caller is about to return.
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(g_platform.GetLastError()) {}
    ~LastErrorKeeper() { g_platform.SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper &) = delete;
    LastErrorKeeper &operator=(const LastErrorKeeper &) = delete;

private:
    DWORD saved_;
};

// Joins base and name into a heap buffer sized for both, a separator and the NUL, and never smaller
// than MAX_PATH units: PathCombineW's contract assumes a destination of that size.
// Returns false when the platform refuses the join or no memory can be had.
bool JoinPath(HeapBlock &out, const wchar_t *base, const wchar_t *name) {
    std::size_t units = static_cast<std::size_t>(lstrlenW(base)) + 1 + lstrlenW(name) + 1;
    if (units < MAX_PATH) {
        units = MAX_PATH;
    }
    out.reset(units * sizeof(wchar_t));
    if (!out) {
        return false;
    }
    return g_platform.PathCombineW(static_cast<wchar_t *>(out.get()), base, name) != nullptr;
}

void WriteStartLine() {
    DWORD size = kFirstPathBufferUnits;
    HeapBlock path(size * sizeof(wchar_t));
    while (path) {
        const DWORD got = g_platform.GetModuleFileNameW(nullptr, static_cast<wchar_t *>(path.get()), size);
        if (got == 0) {
            return;
        }
        if (got < size) {
            LogMessage(L"Starting log session - image name: %s", static_cast<wchar_t *>(path.get()));
            return;
        }
        if (size > kLargestPathBufferUnits / 2) {
            return;
        }
        size *= 2;
        path.reset(static_cast<std::size_t>(size) * sizeof(wchar_t));
    }
}

// Writes value in decimal, zero-padded to at least width digits; returns the end.
char *PutDecimal(char *out, unsigned value, int width) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < width) {
        digits[count++] = '0';
    }
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
}

// The stamp "%Y-%m-%d %H:%M:%S", by hand: the C++ time formatting switches the process-wide C-runtime
// locale back and forth, under the host's feet.
std::size_t FormatStamp(const SYSTEMTIME &time, char *out) {
    char *end = PutDecimal(out, time.wYear, 4);
    *end++ = '-';
    end = PutDecimal(end, time.wMonth, 2);
    *end++ = '-';
    end = PutDecimal(end, time.wDay, 2);
    *end++ = ' ';
    end = PutDecimal(end, time.wHour, 2);
    *end++ = ':';
    end = PutDecimal(end, time.wMinute, 2);
    *end++ = ':';
    end = PutDecimal(end, time.wSecond, 2);
    return static_cast<std::size_t>(end - out);
}

}  // namespace

bool IsMissingOrDirectory(const wchar_t *path) {
    const DWORD attributes = g_platform.GetFileAttributesW(path);
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool OpenLogOnce() {
    if (logOpenAttempted.load(std::memory_order_acquire) != 0) {
        return false;
    }
    const LogLock lock;
    if (!lock.owns()) {
        return false;
    }
    if (logOpenAttempted.load(std::memory_order_relaxed) != 0) {
        return false;
    }
    logOpenAttempted.store(1, std::memory_order_release);

    wchar_t appData[MAX_PATH];
    if (!g_platform.SHGetSpecialFolderPathW(nullptr, appData, CSIDL_LOCAL_APPDATA, FALSE)) {
        return false;
    }
    if (!IsMissingOrDirectory(appData)) {
        return false;
    }
    HeapBlock folder;
    if (!JoinPath(folder, appData, kLogFolderName)) {
        return false;
    }
    const wchar_t *folderPath = static_cast<wchar_t *>(folder.get());
    if (!IsMissingOrDirectory(folderPath)) {
        return false;
    }
    HeapBlock file;
    if (!JoinPath(file, folderPath, kLogFileName)) {
        return false;
    }
    // The folder is never created: a missing folder makes this open fail, which switches logging off.
    const HANDLE handle = g_platform.CreateFileW(static_cast<wchar_t *>(file.get()), FILE_APPEND_DATA,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    logFileHandle = handle;
    loggingOn = 1;
    return true;
}

void WriteLogLine(const char *text) {
    // The platform's local time, not the C runtime's: the 32-bit runtime's time_t ends in January 2038.
    SYSTEMTIME local{};
    g_platform.GetLocalTime(&local);
    // 19 bytes; a SYSTEMTIME year has at most five digits.
    char stamp[32];
    const std::size_t stampBytes = FormatStamp(local, stamp);
    const std::size_t textBytes = std::strlen(text);
    const std::size_t lineBytes = 1 + stampBytes + 2 + textBytes + 1;
    HeapBlock line(lineBytes);
    if (!line) {
        return;  // the line is lost; the caller's outcome never depends on the log
    }
    char *out = static_cast<char *>(line.get());
    *out++ = '[';
    std::memcpy(out, stamp, stampBytes);
    out += stampBytes;
    *out++ = ']';
    *out++ = ' ';
    std::memcpy(out, text, textBytes);
    out += textBytes;
    *out = '\n';
    DWORD written = 0;
    g_platform.WriteFile(logFileHandle, line.get(), static_cast<DWORD>(lineBytes), &written, nullptr);
    g_platform.FlushFileBuffers(logFileHandle);
}

void LogMessage(const wchar_t *format, ...) {
    LastErrorKeeper keepLastError;

    wchar_t message[kFormatBufferUnits];
    message[0] = L'\0';
    va_list args;
    va_start(args, format);
    wvsprintfW(message, format, args);
    va_end(args);
    message[kFormatBufferUnits - 1] = L'\0';

    const int utf8Size = WideCharToMultiByte(CP_UTF8, 0, message, -1, nullptr, 0, nullptr, nullptr);
    if (utf8Size == 0) {
        return;
    }
    HeapBlock utf8(static_cast<std::size_t>(utf8Size));
    if (!utf8) {
        return;
    }
    char *text = static_cast<char *>(utf8.get());
    if (WideCharToMultiByte(CP_UTF8, 0, message, -1, text, utf8Size, nullptr, nullptr) == 0) {
        return;
    }

    if (OpenLogOnce()) {
        WriteStartLine();
    }

    const LogLock lock;
    if (lock.owns() && loggingOn == 1) {
        WriteLogLine(text);
    }
}

Holder::~Holder() {
    if (loggingOn == 0) {
        return;
    }
    LogMessage(L"Stopping logging.");
    g_platform.CloseHandle(logFileHandle);
    loggingOn = 0;
}
