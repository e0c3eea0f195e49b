// The trace log as real host processes see it: each case prepares the log folder, runs the child
// program (which loads the built DLL by path and frees it), and reads the file byte for byte. The log
// is opened once per process, so every case needs a process of its own.
#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

const wchar_t kLogFolderName[] = L"\\QuorvKSP";
const wchar_t kLogFileName[] = L"\\trace.txt";

std::wstring LocalAppData() {
    wchar_t path[MAX_PATH];
    if (!::SHGetSpecialFolderPathW(nullptr, path, CSIDL_LOCAL_APPDATA, FALSE)) {
        return {};
    }
    return path;
}

bool Exists(const std::wstring &path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::wstring &path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void RemoveTree(const std::wstring &path) {
    if (!IsDirectory(path)) {
        ::DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") {
                RemoveTree(path + L"\\" + name);
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(path.c_str());
}

std::string ReadFileBytes(const std::wstring &path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    ::CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring &path, const std::string &bytes) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

std::wstring FullPath(const wchar_t *path) {
    wchar_t full[MAX_PATH * 4];
    const DWORD length = ::GetFullPathNameW(path, MAX_PATH * 4, full, nullptr);
    return length > 0 && length < MAX_PATH * 4 ? std::wstring(full) : std::wstring(path);
}

// Starts a child with the arguments (already quoted where needed); the caller waits and closes.
HANDLE StartChild(const wchar_t *exe, const std::wstring &arguments) {
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
        return nullptr;
    }
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

DWORD FinishChild(HANDLE process) {
    if (process == nullptr) {
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFF;
    if (::WaitForSingleObject(process, 5 * 60 * 1000) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(process, &code);
    } else {
        ::TerminateProcess(process, 0xFFFFFFFF);
    }
    ::CloseHandle(process);
    return code;
}

DWORD RunChild(const std::wstring &arguments) { return FinishChild(StartChild(KSP_CHILD_PATH, arguments)); }

std::wstring Quoted(const std::wstring &text) { return L"\"" + text + L"\""; }

struct LogLine {
    std::string time;  // "YYYY-MM-DD HH:MM:SS"
    std::string message;
};

bool TwoDigits(const std::string &s, std::size_t at, int low, int high) {
    if (!isdigit(static_cast<unsigned char>(s[at])) || !isdigit(static_cast<unsigned char>(s[at + 1]))) {
        return false;
    }
    const int value = (s[at] - '0') * 10 + (s[at + 1] - '0');
    return value >= low && value <= high;
}

bool WellFormedTime(const std::string &t) {
    return t.size() == 19 && TwoDigits(t, 0, 19, 99) && TwoDigits(t, 2, 0, 99) && t[4] == '-' &&
           TwoDigits(t, 5, 1, 12) && t[7] == '-' && TwoDigits(t, 8, 1, 31) && t[10] == ' ' &&
           TwoDigits(t, 11, 0, 23) && t[13] == ':' && TwoDigits(t, 14, 0, 59) && t[16] == ':' &&
           TwoDigits(t, 17, 0, 60);
}

// Splits the file into lines and checks each one's frame: "[" time "] " message LF, no CR anywhere.
std::vector<LogLine> ParseLog(const std::string &bytes) {
    std::vector<LogLine> lines;
    EXPECT_EQ(std::string::npos, bytes.find('\r')) << "carriage return in the log";
    if (!bytes.empty()) {
        EXPECT_EQ('\n', bytes.back()) << "log does not end with a whole line";
    }
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        const std::string line = bytes.substr(start, end - start);
        const bool framed = line.size() >= 22 && line[0] == '[' && line.compare(20, 2, "] ") == 0 &&
                            WellFormedTime(line.substr(1, 19));
        EXPECT_TRUE(framed) << "malformed line " << lines.size() << ": " << line.substr(0, 80);
        if (framed) {
            lines.push_back({line.substr(1, 19), line.substr(22)});
        }
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> Messages(const std::vector<LogLine> &lines) {
    std::vector<std::string> messages;
    for (const LogLine &line : lines) {
        messages.push_back(line.message);
    }
    return messages;
}

std::string LocalTimeNow() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

std::string StartLine(const wchar_t *exe) { return "Starting log session - image name: " + Narrow(FullPath(exe)); }

class TraceLogProcess : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring appData = LocalAppData();
        ASSERT_FALSE(appData.empty());
        folder_ = appData + kLogFolderName;
        file_ = folder_ + kLogFileName;
        RemoveTree(folder_);
        ASSERT_FALSE(Exists(folder_));
    }
    void TearDown() override { RemoveTree(folder_); }

    void CreateFolder() { ASSERT_TRUE(::CreateDirectoryW(folder_.c_str(), nullptr)); }
    std::wstring Load() const { return L"load " + Quoted(FullPath(KSP_DLL_PATH)); }

    std::wstring folder_;
    std::wstring file_;
};

TEST_F(TraceLogProcess, MissingFolderAtFirstMessageKeepsLoggingOffEvenAfterItAppears) {
    // The child creates the folder itself after its first lines; mkdir failing would mean the
    // provider had created it.
    ASSERT_EQ(0u, RunChild(Load() + L" table encrypt mkdir " + Quoted(folder_) + L" encrypt thread key late free"));
    EXPECT_TRUE(IsDirectory(folder_));
    EXPECT_FALSE(Exists(file_));
}

TEST_F(TraceLogProcess, SessionWritesItsLinesInOrderFromStartLineToStop) {
    CreateFolder();
    const std::string before = LocalTimeNow();
    ASSERT_EQ(0u, RunChild(Load() + L" table encrypt thread encrypt free"));
    const std::string after = LocalTimeNow();

    const std::vector<LogLine> lines = ParseLog(ReadFileBytes(file_));
    // The idle thread's start and end are the two "DllMain called" lines between the Encrypt lines.
    const std::vector<std::string> expected = {
        StartLine(KSP_CHILD_PATH),
        "DllMain called",
        "Attaching to DLL",
        "Key storage interface",
        "Call to unsupported encrypt",
        "DllMain called",
        "DllMain called",
        "Call to unsupported encrypt",
        "DllMain called",
        "Detaching from DLL",
        "Stopping logging.",
    };
    EXPECT_EQ(expected, Messages(lines));
    SYSTEMTIME utc, local;
    ::GetSystemTime(&utc);
    ::GetLocalTime(&local);
    if (utc.wHour == local.wHour) {
        KSP_NOT_CHECKED("the stamps' time zone: local time is UTC here, so a stamp in UTC would pass");
    }
    for (const LogLine &line : lines) {
        // Fixed-width fields compare in time order as text.
        EXPECT_LE(before, line.time);
        EXPECT_GE(after, line.time);
    }
}

TEST_F(TraceLogProcess, AppendsAfterWhatTheFileAlreadyHolds) {
    CreateFolder();
    const std::string earlier = "[2001-02-03 04:05:06] an earlier session\nno line end here";
    WriteFileBytes(file_, earlier);
    ASSERT_EQ(0u, RunChild(Load() + L" free"));

    const std::string bytes = ReadFileBytes(file_);
    ASSERT_GE(bytes.size(), earlier.size());
    EXPECT_EQ(earlier, bytes.substr(0, earlier.size()));
    // The unterminated earlier text runs into the first new line; the provider adds nothing between.
    const std::string added = bytes.substr(earlier.size());
    const std::string start = "[";
    ASSERT_EQ(start, added.substr(0, 1));
    const std::vector<std::string> expected = {StartLine(KSP_CHILD_PATH), "DllMain called", "Attaching to DLL",
                                               "DllMain called", "Detaching from DLL", "Stopping logging."};
    EXPECT_EQ(expected, Messages(ParseLog(added)));
}

TEST_F(TraceLogProcess, LongMessageIsCutAndNonAsciiBecomesUtf8) {
    CreateFolder();
    const std::wstring otherScripts = L"\u041a\u043b\u044e\u0447-\u9375-\U0001F511";
    ASSERT_EQ(0u, RunChild(Load() + L" table longkey 2000 key " + Quoted(otherScripts) + L" free"));

    std::vector<std::string> keyLines;
    for (const LogLine &line : ParseLog(ReadFileBytes(file_))) {
        if (line.message.compare(0, 10, "Key name: ") == 0) {
            keyLines.push_back(line.message);
        }
    }
    ASSERT_EQ(2u, keyLines.size());
    // 10 units of "Key name: " and 1013 of the 2000-unit name make the 1023 units kept.
    EXPECT_EQ("Key name: " + std::string(1013, 'k'), keyLines[0]);
    EXPECT_EQ("Key name: \xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87-\xe9\x8d\xb5-\xf0\x9f\x94\x91", keyLines[1]);
}

// Lines of "keys <tag> <threads> <count>": per thread and key, "OpenKey called", "Validated provider
// handle", "Key name: <tag>-<t>-<i>", "Successful", "Free key".
constexpr int kLinesPerKey = 5;

// Start line, attach (2), table (1), provider open and free (2), each thread's start and end (2),
// the keys, detach (2), stop (1).
// With 0 threads the calling thread does the keys of one thread.
std::size_t SessionLines(int threads, int keys) {
    return static_cast<std::size_t>(9 + 2 * threads + std::max(threads, 1) * keys * kLinesPerKey);
}

struct TaggedRun {
    std::map<int, std::vector<int>> keysByThread;  // key indexes in file order
    std::vector<std::string> times;                // times of the tagged lines, in file order
};

TaggedRun CollectTag(const std::vector<LogLine> &lines, const std::string &tag) {
    TaggedRun run;
    const std::string prefix = "Key name: " + tag + "-";
    for (const LogLine &line : lines) {
        if (line.message.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        int thread = -1;
        int index = -1;
        if (std::sscanf(line.message.c_str() + prefix.size(), "%d-%d", &thread, &index) == 2) {
            run.keysByThread[thread].push_back(index);
            run.times.push_back(line.time);
        }
    }
    return run;
}

void ExpectCompleteRun(const TaggedRun &run, int threads, int count) {
    ASSERT_EQ(static_cast<std::size_t>(std::max(threads, 1)), run.keysByThread.size());
    std::vector<int> inOrder(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        inOrder[i] = i;
    }
    for (const auto &entry : run.keysByThread) {
        EXPECT_EQ(inOrder, entry.second) << "thread " << entry.first;
    }
    EXPECT_TRUE(std::is_sorted(run.times.begin(), run.times.end())) << "times go backwards";
}

std::size_t CountOf(const std::vector<LogLine> &lines, const std::string &message) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const LogLine &l) { return l.message == message; }));
}

TEST_F(TraceLogProcess, EightThreadsOfOneProcessLoseNoLine) {
    constexpr int kThreads = 8;
    constexpr int kKeys = 500 / kLinesPerKey;
    if (Emulated32BitThreads()) {
        // 32-bit Wine under qemu-i386: threads that start at the same moment, as the child's do, crash
        // the emulator.
        KSP_NOT_CHECKED("32-bit code runs under qemu-user here, which cannot start " << kThreads
                                                                                    << " threads at once");
    }
    // The same threads without the DLL, so that a failure here points at the platform, not the log.
    ASSERT_EQ(0u, RunChild(L"idle " + std::to_wstring(kThreads))) << "the child's idle threads alone failed";
    CreateFolder();
    ASSERT_EQ(0u, RunChild(Load() + L" table keys T " + std::to_wstring(kThreads) + L" " +
                           std::to_wstring(kKeys) + L" free"));

    const std::vector<LogLine> lines = ParseLog(ReadFileBytes(file_));
    EXPECT_EQ(SessionLines(kThreads, kKeys), lines.size());
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kKeys), CountOf(lines, "OpenKey called"));
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kKeys), CountOf(lines, "Free key"));
    EXPECT_EQ(2u + 2 * kThreads, CountOf(lines, "DllMain called"));
    ExpectCompleteRun(CollectTag(lines, "T"), kThreads, kKeys);
    std::vector<std::string> times;
    for (const LogLine &line : lines) {
        times.push_back(line.time);
    }
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << "times of one process go backwards";
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Stopping logging.", lines.back().message);
}

TEST_F(TraceLogProcess, ExitWhileThreadsLogStillEndsTheProcess) {
    // ExitProcess ends the other threads wherever they are, the log's lock held or not; the detach and
    // stop lines that follow must not wait for it. The hang is a race, hence several runs.
    constexpr int kRuns = 5;
    constexpr DWORD kBoundMs = 30000;
    // One logging thread is enough to be caught inside the lock; where threads of this architecture
    // cannot start at the same moment, as the child's do, one is all the emulator takes.
    const std::wstring threads = Emulated32BitThreads() ? L"1" : L"4";
    CreateFolder();
    int hung = 0;
    for (int run = 0; run < kRuns; ++run) {
        const HANDLE child = StartChild(KSP_CHILD_PATH, Load() + L" table exitlogging " + threads + L" 200");
        ASSERT_NE(nullptr, child);
        if (::WaitForSingleObject(child, kBoundMs) == WAIT_OBJECT_0) {
            DWORD code = 1;
            ::GetExitCodeProcess(child, &code);
            EXPECT_EQ(0u, code) << "run " << run;
        } else {
            ++hung;
            ::TerminateProcess(child, 1);
            ::WaitForSingleObject(child, INFINITE);
        }
        ::CloseHandle(child);
    }
    EXPECT_EQ(0, hung) << "of " << kRuns << " runs did not end within " << kBoundMs << " ms";
    const std::vector<LogLine> lines = ParseLog(ReadFileBytes(file_));
    EXPECT_EQ(static_cast<std::size_t>(kRuns), CountOf(lines, StartLine(KSP_CHILD_PATH)));
    EXPECT_LT(static_cast<std::size_t>(kRuns), CountOf(lines, "Call to unsupported encrypt"));
}

// Named events for children that take turns or start together; names are unique to this run.
class Events {
public:
    explicit Events(int count) {
        for (int i = 0; i < count; ++i) {
            names_.push_back(L"QuorvKspTraceTest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                             std::to_wstring(i));
            handles_.push_back(::CreateEventW(nullptr, TRUE, FALSE, names_.back().c_str()));
        }
    }
    ~Events() {
        for (HANDLE event : handles_) {
            ::CloseHandle(event);
        }
    }
    Events(const Events &) = delete;
    Events &operator=(const Events &) = delete;
    const std::wstring &operator[](int i) const { return names_[i]; }
    HANDLE handle(int i) const { return handles_[i]; }

private:
    std::vector<std::wstring> names_;
    std::vector<HANDLE> handles_;
};

class BothBuilds : public TraceLogProcess {
protected:
    void SetUp() override {
        TraceLogProcess::SetUp();
        otherChild_ = KSP_OTHER_CHILD_PATH;
        otherDll_ = KSP_OTHER_DLL_PATH;
        otherBuilt_ = Exists(otherChild_) && Exists(otherDll_);
        CreateFolder();
    }
    std::wstring LoadOther() const { return L"load " + Quoted(FullPath(otherDll_.c_str())); }

    // The tags tell the two processes' key lines apart.
    const std::wstring ownTag_ = sizeof(void *) == 8 ? L"x64" : L"x86";
    const std::wstring otherTag_ = sizeof(void *) == 8 ? L"x86" : L"x64";
    std::wstring otherChild_;
    std::wstring otherDll_;
    bool otherBuilt_ = false;
};

#define KSP_REQUIRE_OTHER_BUILD()                                                                \
    if (!otherBuilt_)                                                                            \
    KSP_NOT_CHECKED("the other architecture's build is missing (" << Narrow(otherChild_) << ", " \
                                                                  << Narrow(otherDll_)           \
                                                                  << "); build both trees side by side")

std::vector<std::string> KeyBurst(const std::string &tag, int count) {
    std::vector<std::string> lines = {"Open provider"};
    for (int i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "Key name: %s-0-%04d", tag.c_str(), i);
        lines.insert(lines.end(), {"OpenKey called", "Validated provider handle", name, "Successful", "Free key"});
    }
    lines.push_back("Free provider");
    return lines;
}

TEST_F(BothBuilds, ShareOneFileWhileBothHoldItOpen) {
    // Both processes keep the file open the whole time and take turns, so every line must land at the
    // file's true end whichever process wrote last; the expected file is exact.
    KSP_REQUIRE_OTHER_BUILD();
    constexpr int kKeys = 10;
    const std::wstring burst = L" 0 " + std::to_wstring(kKeys);
    Events turn(6);
    const HANDLE other = StartChild(otherChild_.c_str(), LoadOther() + L" table signal " + turn[0] + L" wait " +
                                                             turn[1] + L" keys " + otherTag_ + L"a" + burst +
                                                             L" signal " + turn[2] + L" wait " + turn[3] +
                                                             L" keys " + otherTag_ + L"b" + burst + L" signal " +
                                                             turn[4] + L" wait " + turn[5] + L" free");
    const HANDLE own =
        StartChild(KSP_CHILD_PATH, L"wait " + turn[0] + L" " + Load() + L" table keys " + ownTag_ + L"a" + burst +
                                       L" signal " + turn[1] + L" wait " + turn[2] + L" keys " + ownTag_ + L"b" +
                                       burst + L" signal " + turn[3] + L" wait " + turn[4] + L" free");
    EXPECT_EQ(0u, FinishChild(own));
    ::SetEvent(turn.handle(5));
    EXPECT_EQ(0u, FinishChild(other));

    const std::string ownA = Narrow(ownTag_ + L"a"), ownB = Narrow(ownTag_ + L"b");
    const std::string otherA = Narrow(otherTag_ + L"a"), otherB = Narrow(otherTag_ + L"b");
    std::vector<std::string> expected = {StartLine(otherChild_.c_str()), "DllMain called", "Attaching to DLL",
                                         "Key storage interface",        StartLine(KSP_CHILD_PATH),
                                         "DllMain called",               "Attaching to DLL",
                                         "Key storage interface"};
    for (const auto &part : {KeyBurst(ownA, kKeys), KeyBurst(otherA, kKeys), KeyBurst(ownB, kKeys),
                             KeyBurst(otherB, kKeys)}) {
        expected.insert(expected.end(), part.begin(), part.end());
    }
    for (int process = 0; process < 2; ++process) {
        expected.insert(expected.end(), {"DllMain called", "Detaching from DLL", "Stopping logging."});
    }
    EXPECT_EQ(expected, Messages(ParseLog(ReadFileBytes(file_))));
}

TEST_F(BothBuilds, AppendAtOnceLosingNoLine) {
    KSP_REQUIRE_OTHER_BUILD();
    constexpr int kKeys = 100;
    Events start(3);
    // The platform must keep appends of concurrent processes whole; Wine 8 does not (its end-of-file
    // writes are not atomic across processes), which no log format can survive. Probe with plain
    // appends first, started together the same way as the real run.
    const std::wstring probe = folder_ + L"\\probe.txt";
    const std::wstring append = L" append " + Quoted(probe) + L" ";
    const HANDLE probeOwn = StartChild(KSP_CHILD_PATH, L"signal " + start[0] + L" wait " + start[2] + append +
                                                           ownTag_ + L" 1000");
    const HANDLE probeOther = StartChild(otherChild_.c_str(), L"signal " + start[1] + L" wait " + start[2] +
                                                                  append + otherTag_ + L" 1000");
    const HANDLE probeReady[2] = {start.handle(0), start.handle(1)};
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(2, probeReady, TRUE, 3 * 60 * 1000));
    ::SetEvent(start.handle(2));
    ASSERT_EQ(0u, FinishChild(probeOwn));
    ASSERT_EQ(0u, FinishChild(probeOther));
    const std::string probed = ReadFileBytes(probe);
    const auto probeLines = static_cast<int>(std::count(probed.begin(), probed.end(), '\n'));
    ::DeleteFileW(probe.c_str());
    if (probeLines != 2000) {
        KSP_NOT_CHECKED("this platform loses appends of concurrent processes: plain FILE_APPEND_DATA writes kept "
                        << probeLines << " of 2000 lines");
    }

    Events go(3);
    const std::wstring work = L" 0 " + std::to_wstring(kKeys) + L" free";
    const HANDLE own = StartChild(KSP_CHILD_PATH, Load() + L" table signal " + go[0] + L" wait " + go[2] +
                                                      L" keys " + ownTag_ + work);
    const HANDLE other = StartChild(otherChild_.c_str(), LoadOther() + L" table signal " + go[1] + L" wait " +
                                                             go[2] + L" keys " + otherTag_ + work);
    // Both have loaded the DLL and logged their first lines before either starts the burst.
    const HANDLE ready[2] = {go.handle(0), go.handle(1)};
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(2, ready, TRUE, 3 * 60 * 1000));
    ::SetEvent(go.handle(2));
    EXPECT_EQ(0u, FinishChild(own));
    EXPECT_EQ(0u, FinishChild(other));

    const std::vector<LogLine> lines = ParseLog(ReadFileBytes(file_));
    EXPECT_EQ(1u, CountOf(lines, StartLine(KSP_CHILD_PATH)));
    EXPECT_EQ(1u, CountOf(lines, StartLine(otherChild_.c_str())));
    EXPECT_EQ(2u, CountOf(lines, "Stopping logging."));
    EXPECT_EQ(2 * SessionLines(0, kKeys), lines.size());
    ExpectCompleteRun(CollectTag(lines, Narrow(ownTag_)), 0, kKeys);
    ExpectCompleteRun(CollectTag(lines, Narrow(otherTag_)), 0, kKeys);
}

}  // namespace
