#include "da/DaClientSinks.h"

#ifndef _WIN32
#include <cstdlib>
#include <cstring>

namespace {
// The block's size sits in front of the bytes handed out.
struct GlobalBlock {
    SIZE_T sizeBytes;
    alignas(16) unsigned char bytes[1];
};
GlobalBlock* blockOf(HGLOBAL memory) { return static_cast<GlobalBlock*>(memory); }
}  // namespace

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes)
{
    void* raw = std::malloc(offsetof(GlobalBlock, bytes) + (bytes ? bytes : 1));
    if (!raw)
        return nullptr;
    auto* block = static_cast<GlobalBlock*>(raw);
    block->sizeBytes = bytes;
    if (flags & GMEM_ZEROINIT)
        std::memset(block->bytes, 0, bytes);
    return block;
}

LPVOID GlobalLock(HGLOBAL memory) { return memory ? blockOf(memory)->bytes : nullptr; }
BOOL GlobalUnlock(HGLOBAL) { return FALSE; }  // FALSE: no lock count left, as on Windows
SIZE_T GlobalSize(HGLOBAL memory) { return memory ? blockOf(memory)->sizeBytes : 0; }

HGLOBAL GlobalFree(HGLOBAL memory)
{
    std::free(memory);
    return nullptr;
}

void ReleaseStgMedium(STGMEDIUM* medium)
{
    if (!medium)
        return;
    if (medium->pUnkForRelease)
        medium->pUnkForRelease->Release();
    else if (medium->tymed == TYMED_HGLOBAL && medium->hGlobal)
        GlobalFree(medium->hGlobal);
    medium->hGlobal = nullptr;
    medium->pUnkForRelease = nullptr;
}
#endif
