// The handles a process holds, counted in the system's handle table: Wine answers
// GetProcessHandleCount with 0. Shared by the soak's sampler and the dead peer probe.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kvsoak {

// The system's handle table; empty when it cannot be read.
inline std::vector<unsigned char> handleTable()
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
        buffer.clear();
    return buffer;
}

// The pipe end `handle` of process `owner` whose pipe is gone: its name no longer
// resolves because the process that served it died. Under Wine these are RPC
// connections to dead processes, which its runtime keeps in some cases even after the
// caller released every proxy of that process.
inline bool isDeadPipeEnd(HANDLE owner, USHORT handle)
{
    constexpr NTSTATUS kPathNotFound = static_cast<NTSTATUS>(0xC0000039);
    HANDLE mine = nullptr;
    if (!DuplicateHandle(owner, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handle)), GetCurrentProcess(), &mine,
                         0, FALSE, DUPLICATE_SAME_ACCESS))
        return false;
    unsigned char info[4096];
    ULONG length = 0;
    bool dead = false;
    if (NtQueryObject(mine, ObjectNameInformation, info, sizeof info, &length) == kPathNotFound &&
        NT_SUCCESS(NtQueryObject(mine, ObjectTypeInformation, info, sizeof info, &length))) {
        // Other kinds of object answer the same for a name they never had.
        const UNICODE_STRING& type = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(info)->TypeName;
        dead = std::wstring(type.Buffer, type.Length / sizeof(wchar_t)) == L"File";
    }
    CloseHandle(mine);
    return dead;
}

// The handles that process pid holds, and "TYPE:COUNT ..." by object type number (to
// tell what leaks); 0 when the table cannot be read. With deadPipes, also the count of
// its pipe ends whose pipe is gone (isDeadPipeEnd).
inline unsigned long handleCount(DWORD pid, std::string& byType, unsigned long* deadPipes = nullptr)
{
    const std::vector<unsigned char> buffer = handleTable();
    if (buffer.empty())
        return 0;
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    const HANDLE owner = deadPipes ? OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid) : nullptr;
    unsigned long count = 0, types[256] = {};
    for (ULONG i = 0; i < table->Count; ++i) {
        if (table->Handle[i].OwnerPid == pid) {
            ++count;
            ++types[table->Handle[i].ObjectType];
            if (owner && isDeadPipeEnd(owner, table->Handle[i].HandleValue))
                ++*deadPipes;
        }
    }
    if (owner)
        CloseHandle(owner);
    for (int type = 0; type < 256; ++type) {
        if (types[type])
            byType += " " + std::to_string(type) + ":" + std::to_string(types[type]);
    }
    return count;
}

}  // namespace kvsoak
