#include "engine/HandleTable.h"

#include <algorithm>

#include "core/Library.h"

namespace moravel {

namespace {

constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

}  // namespace

HandleSnapshot::HandleSnapshot() {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = procAddress<Query>(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (!query) return;
    std::vector<ULONG_PTR> buffer(64 * 1024);
    for (int tries = 0; tries < 6; ++tries) {
        ULONG needed = 0;
        const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
        const LONG status = query(kSystemExtendedHandleInformation, buffer.data(), size, &needed);
        if (status == kStatusInfoLengthMismatch) {
            // Handles come and go meanwhile: some room to spare.
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof(ULONG_PTR) + 4096));
            continue;
        }
        if (status < 0) return;
        buffer_ = std::move(buffer);
        return;
    }
}

std::size_t HandleSnapshot::size() const {
    if (buffer_.empty()) return 0;
    const auto& table = *reinterpret_cast<const HandleTable*>(buffer_.data());
    const std::size_t room = (buffer_.size() * sizeof(ULONG_PTR) - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
    return std::min<std::size_t>(table.count, room);
}

const HandleEntry& HandleSnapshot::operator[](std::size_t i) const {
    return reinterpret_cast<const HandleTable*>(buffer_.data())->entries[i];
}

int openHandleCount() {
    const HandleSnapshot table;
    if (table.empty()) return -1;
    const DWORD ownPid = GetCurrentProcessId();
    int count = 0;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].pid == ownPid) ++count;
    return count;
}

}  // namespace moravel
