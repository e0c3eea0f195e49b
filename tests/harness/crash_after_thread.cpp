// Starts and joins one thread, then dies from an access violation. Under Wine's default debugger such
// a process exits with status 0; expect_crash.py passes only on the line below followed by the access
// violation's status, so this entry proves on every run that a crash in the test prefix ends with it.
#include <windows.h>

#include <cstdio>

namespace {

DWORD WINAPI Idle(LPVOID) { return 0; }

}  // namespace

int main() {
    const HANDLE thread = CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr);
    if (thread == nullptr) {
        std::printf("CreateThread failed: %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    std::printf("thread joined; raising an access violation\n");
    std::fflush(stdout);
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 0;
}
