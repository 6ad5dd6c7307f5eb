#pragma once
// The system's table of every process's open handles, read in one go.
#include <windows.h>

#include <cstddef>
#include <vector>

namespace moravel {

// One entry of the extended handle information (NtQuerySystemInformation, class 64).
struct HandleEntry {
    PVOID object;
    ULONG_PTR pid;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

class HandleSnapshot {
public:
    // Empty when the system does not give its table.
    HandleSnapshot();

    std::size_t size() const;
    const HandleEntry& operator[](std::size_t i) const;
    bool empty() const { return size() == 0; }

private:
    std::vector<ULONG_PTR> buffer_;  // aligned for the entries
};

// The number of handles this process has open, counted in the system's
// handle table (some systems keep no count of their own); -1 when the table
// cannot be read.
int openHandleCount();

}  // namespace moravel
