// Live block count of the real process heap, for leak checks that do not trust the seam.
#pragma once

#include <windows.h>

#include <cstddef>

namespace handles_test {

inline std::size_t LiveProcessHeapBlocks() {
    const HANDLE heap = GetProcessHeap();
    std::size_t busy = 0;
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
            ++busy;
        }
    }
    HeapUnlock(heap);
    return busy;
}

}  // namespace handles_test
