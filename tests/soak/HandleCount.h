// The handles a process holds, counted in the system's handle table: Wine answers
// GetProcessHandleCount with 0. Shared by the soak's sampler and the dead peer probe.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kvsoak {

// The handles that process pid holds, and "TYPE:COUNT ..." by object type number (to
// tell what leaks); 0 when the table cannot be read.
inline unsigned long handleCount(DWORD pid, std::string& byType)
{
    constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(), ULONG(buffer.size()), &needed)) ==
               kInfoLengthMismatch &&
           buffer.size() < (64u << 20))
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
    if (!NT_SUCCESS(status))
        return 0;
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    unsigned long count = 0, types[256] = {};
    for (ULONG i = 0; i < table->Count; ++i) {
        if (table->Handle[i].OwnerPid == pid) {
            ++count;
            ++types[table->Handle[i].ObjectType];
        }
    }
    for (int type = 0; type < 256; ++type) {
        if (types[type])
            byType += " " + std::to_string(type) + ":" + std::to_string(types[type]);
    }
    return count;
}

}  // namespace kvsoak
