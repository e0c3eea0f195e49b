// Busy blocks of the real heaps, for leak checks that do not trust the seam.
#pragma once

#include <windows.h>

#include <cstddef>

namespace handles_test {

// Calls visit(entry) for each busy block of heap, holding the heap's lock throughout.
template <typename Visit>
void ForEachBusyBlock(HANDLE heap, Visit visit) {
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
            visit(entry);
        }
    }
    HeapUnlock(heap);
}

inline std::size_t LiveProcessHeapBlocks() {
    std::size_t busy = 0;
    ForEachBusyBlock(GetProcessHeap(), [&](const PROCESS_HEAP_ENTRY &) { ++busy; });
    return busy;
}

// Busy bytes over every heap of the process, the C runtime's as well as the process heap. False when
// the process has more heaps than the list holds.
inline bool BusyBytesOfEveryHeap(std::size_t &total) {
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    if (count == 0 || count > 256) {
        return false;
    }
    total = 0;
    for (DWORD i = 0; i < count; ++i) {
        ForEachBusyBlock(heaps[i], [&](const PROCESS_HEAP_ENTRY &entry) { total += entry.cbData; });
    }
    return true;
}

}  // namespace handles_test
