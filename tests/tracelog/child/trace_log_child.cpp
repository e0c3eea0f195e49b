// A host process for the trace log tests: loads the provider DLL by path and drives it through the
// actions named on its command line, in order. Exit code 0 when every action did what it should.
//
//   load <dll>            LoadLibraryW
//   table                 GetKeyStorageInterface
//   encrypt               the refused Encrypt entry, which logs one line
//   key <name>            open a provider and the key <name>, then free both
//   longkey <units>       the same with a key name of <units> 'k' characters
//   thread                start a thread that does nothing and wait for it to end
//   keys <tag> <threads> <count>
//                         <threads> threads, each opening and freeing <count> keys named <tag>-<t>-<i>;
//                         0 threads: the calling thread does it, as thread 0
//   idle <threads>        start that many threads that sleep a moment and wait for all of them
//   exitlogging <threads> <ms>
//                         start that many threads that call Encrypt (one line each) without end,
//                         then ExitProcess(0) after <ms> milliseconds while they are still at it
//   append <file> <tag> <count>
//                         without the DLL: append <count> lines "<tag> <i>" the way the log does,
//                         to learn whether the platform keeps appends of several processes whole
//   mkdir <path>          create a folder
//   signal <event>        set a named event
//   wait <event>          wait for a named event (to start several processes at once)
//   sleep <ms>            Sleep
//   free                  FreeLibrary
#include "ksp_interface.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

HMODULE module = nullptr;
const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;

bool Fail(const wchar_t *what, unsigned long code) {
    std::fwprintf(stderr, L"trace_log_child: %ls failed (%lu)\n", what, code);
    return false;
}

bool OpenAndFreeKey(NCRYPT_PROV_HANDLE provider, const wchar_t *name) {
    NCRYPT_KEY_HANDLE key = 0;
    const SECURITY_STATUS status = table->OpenKey(provider, &key, name, 0, 0);
    if (status != ERROR_SUCCESS) {
        // Names too long for a key record are refused after their line is logged; that is expected.
        return true;
    }
    return table->FreeKey(provider, key) == ERROR_SUCCESS || Fail(L"FreeKey", 0);
}

bool WithProvider(const wchar_t *keyName) {
    NCRYPT_PROV_HANDLE provider = 0;
    if (table->OpenProvider(&provider, L"Quorv CSP", 0) != ERROR_SUCCESS) {
        return Fail(L"OpenProvider", 0);
    }
    const bool ok = OpenAndFreeKey(provider, keyName);
    table->FreeProvider(provider);
    return ok;
}

struct KeyWork {
    std::wstring tag;
    int index;
    int count;
    NCRYPT_PROV_HANDLE provider;
};

DWORD WINAPI KeyThread(LPVOID parameter) {
    const auto *work = static_cast<const KeyWork *>(parameter);
    for (int i = 0; i < work->count; ++i) {
        wchar_t name[64];
        std::swprintf(name, 64, L"%ls-%d-%04d", work->tag.c_str(), work->index, i);
        if (!OpenAndFreeKey(work->provider, name)) {
            return 1;
        }
    }
    return 0;
}

DWORD WINAPI IdleThread(LPVOID) { return 0; }

DWORD WINAPI SleepingThread(LPVOID) {
    Sleep(50);
    return 0;
}

bool JoinAll(const std::vector<HANDLE> &handles) {
    bool ok = true;
    for (HANDLE thread : handles) {
        WaitForSingleObject(thread, INFINITE);
        DWORD code = 1;
        GetExitCodeThread(thread, &code);
        ok = ok && code == 0;
        CloseHandle(thread);
    }
    return ok;
}

bool RunIdle(int threads) {
    std::vector<HANDLE> handles;
    for (int t = 0; t < threads; ++t) {
        const HANDLE thread = CreateThread(nullptr, 0, SleepingThread, nullptr, 0, nullptr);
        if (thread == nullptr) {
            JoinAll(handles);
            return Fail(L"CreateThread", GetLastError());
        }
        handles.push_back(thread);
    }
    return JoinAll(handles);
}

DWORD WINAPI EndlessEncrypt(LPVOID) {
    for (;;) {
        table->Encrypt(0, 0, nullptr, 0, nullptr, nullptr, 0, nullptr, 0);
    }
}

// The process ends with its threads inside the provider, as a host's ExitProcess finds them.
bool ExitWhileLogging(int threads, int milliseconds) {
    for (int t = 0; t < threads; ++t) {
        const HANDLE thread = CreateThread(nullptr, 0, EndlessEncrypt, nullptr, 0, nullptr);
        if (thread == nullptr) {
            return Fail(L"CreateThread", GetLastError());
        }
        CloseHandle(thread);
    }
    Sleep(static_cast<DWORD>(milliseconds));
    ExitProcess(0);
}

bool RunKeys(const wchar_t *tag, int threads, int count) {
    NCRYPT_PROV_HANDLE provider = 0;
    if (table->OpenProvider(&provider, L"Quorv CSP", 0) != ERROR_SUCCESS) {
        return Fail(L"OpenProvider", 0);
    }
    if (threads == 0) {
        KeyWork work{tag, 0, count, provider};
        const bool ok = KeyThread(&work) == 0;
        table->FreeProvider(provider);
        return ok;
    }
    std::vector<KeyWork> work(static_cast<std::size_t>(threads));
    std::vector<HANDLE> handles;
    for (int t = 0; t < threads; ++t) {
        work[t] = KeyWork{tag, t, count, provider};
        const HANDLE thread = CreateThread(nullptr, 0, KeyThread, &work[t], 0, nullptr);
        if (thread == nullptr) {
            JoinAll(handles);
            return Fail(L"CreateThread", GetLastError());
        }
        handles.push_back(thread);
    }
    const bool ok = JoinAll(handles);
    table->FreeProvider(provider);
    return ok;
}

bool RunAppend(const wchar_t *path, const wchar_t *tag, int count) {
    const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(L"CreateFileW", GetLastError());
    }
    for (int i = 0; i < count; ++i) {
        char line[64];
        const int size = std::snprintf(line, sizeof line, "%ls %d\n", tag, i);
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(size), &written, nullptr);
        FlushFileBuffers(file);
    }
    CloseHandle(file);
    return true;
}

bool Run(int argc, wchar_t **argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring action = argv[i];
        auto next = [&]() -> const wchar_t * { return i + 1 < argc ? argv[++i] : L""; };
        bool needsTable = action == L"encrypt" || action == L"key" || action == L"longkey" || action == L"keys" ||
                          action == L"exitlogging";
        if (needsTable && table == nullptr) {
            return Fail(L"table not taken before", 0);
        }
        if (action == L"load") {
            module = LoadLibraryW(next());
            if (module == nullptr) {
                return Fail(L"LoadLibraryW", GetLastError());
            }
        } else if (action == L"table") {
            auto entry = reinterpret_cast<GetKeyStorageInterfaceFn>(
                reinterpret_cast<void *>(GetProcAddress(module, "GetKeyStorageInterface")));
            NCRYPT_KEY_STORAGE_FUNCTION_TABLE *got = nullptr;
            if (entry == nullptr || entry(L"Quorv CSP", &got, 0) != ERROR_SUCCESS) {
                return Fail(L"GetKeyStorageInterface", 0);
            }
            table = got;
        } else if (action == L"encrypt") {
            if (table->Encrypt(0, 0, nullptr, 0, nullptr, nullptr, 0, nullptr, 0) != NTE_NOT_SUPPORTED) {
                return Fail(L"Encrypt", 0);
            }
        } else if (action == L"key") {
            if (!WithProvider(next())) {
                return false;
            }
        } else if (action == L"longkey") {
            const std::wstring name(static_cast<std::size_t>(_wtoi(next())), L'k');
            if (!WithProvider(name.c_str())) {
                return false;
            }
        } else if (action == L"thread") {
            const HANDLE thread = CreateThread(nullptr, 0, IdleThread, nullptr, 0, nullptr);
            if (thread == nullptr) {
                return Fail(L"CreateThread", GetLastError());
            }
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        } else if (action == L"keys") {
            const wchar_t *tag = next();
            const int threads = _wtoi(next());
            const int count = _wtoi(next());
            if (!RunKeys(tag, threads, count)) {
                return false;
            }
        } else if (action == L"idle") {
            if (!RunIdle(_wtoi(next()))) {
                return false;
            }
        } else if (action == L"exitlogging") {
            const int threads = _wtoi(next());
            if (!ExitWhileLogging(threads, _wtoi(next()))) {
                return false;
            }
        } else if (action == L"append") {
            const wchar_t *path = next();
            const wchar_t *tag = next();
            if (!RunAppend(path, tag, _wtoi(next()))) {
                return false;
            }
        } else if (action == L"mkdir") {
            if (!CreateDirectoryW(next(), nullptr)) {
                return Fail(L"CreateDirectoryW", GetLastError());
            }
        } else if (action == L"signal") {
            const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, next());
            if (event == nullptr || !SetEvent(event)) {
                return Fail(L"SetEvent", GetLastError());
            }
            CloseHandle(event);
        } else if (action == L"wait") {
            const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, next());
            if (event == nullptr) {
                return Fail(L"OpenEventW", GetLastError());
            }
            const DWORD waited = WaitForSingleObject(event, 60000);
            CloseHandle(event);
            if (waited != WAIT_OBJECT_0) {
                return Fail(L"WaitForSingleObject", waited);
            }
        } else if (action == L"sleep") {
            Sleep(static_cast<DWORD>(_wtoi(next())));
        } else if (action == L"free") {
            table = nullptr;
            if (!FreeLibrary(module)) {
                return Fail(L"FreeLibrary", GetLastError());
            }
            module = nullptr;
        } else {
            std::fwprintf(stderr, L"trace_log_child: unknown action %ls\n", action.c_str());
            return false;
        }
    }
    return true;
}

// A crash ends the process at once: the driver only needs the exit code, and Wine's default answer
// (starting its debugger) would keep the test run waiting on the debugger's inherited output.
LONG WINAPI EndQuietly(EXCEPTION_POINTERS *) { return EXCEPTION_EXECUTE_HANDLER; }

}  // namespace

int wmain(int argc, wchar_t **argv) {
    SetUnhandledExceptionFilter(EndQuietly);
    return Run(argc, argv) ? 0 : 1;
}
