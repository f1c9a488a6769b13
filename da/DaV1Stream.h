// The OPC DA 1.0 data streams handed to IAdviseSink::OnDataChange in an HGLOBAL:
// "OPCSTMFORMATDATA" (12-byte item headers), "OPCSTMFORMATDATATIME" (20-byte item
// headers with the timestamp) and "OPCSTMFORMATWRITECOMPLETE". They are a wire format
// that 32-bit clients read with their own struct layout, so every field is written by
// itself, little-endian, at the offset that layout gives: a VARIANT entry is 16 bytes,
// a SAFEARRAY descriptor 24, texts are UTF-16 - whatever this compiler's sizes are.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "da/DaClientSinks.h"
#include "platform/win.h"

struct DaV1DataEntry {
    uint32_t clientHandle = 0;
    uint16_t quality = 0;
    FILETIME timestamp = {0, 0};
    const VARIANT* value = nullptr;  // null is written as VT_EMPTY
};

struct DaV1WriteEntry {
    uint32_t clientHandle = 0;
    HRESULT error = S_OK;
};

inline constexpr uint32_t kDaV1GroupHeaderBytes = 20;
inline constexpr uint32_t kDaV1ItemHeaderBytes = 12;
inline constexpr uint32_t kDaV1ItemHeaderTimeBytes = 20;
inline constexpr uint32_t kDaV1VariantBytes = 16;
inline constexpr uint32_t kDaV1SafeArrayBytes = 24;
inline constexpr uint32_t kDaV1WriteHeaderBytes = 16;

// The whole data stream; hrStatus is S_FALSE when any quality is not GOOD. False only
// when memory ran out.
bool daBuildV1DataStream(bool withTime, uint32_t groupClientHandle, uint32_t transactionId,
                         std::span<const DaV1DataEntry> entries, std::vector<uint8_t>& stream);
// hrStatus is S_FALSE when any item failed.
bool daBuildV1WriteCompleteStream(uint32_t groupClientHandle, uint32_t transactionId,
                                  std::span<const DaV1WriteEntry> entries, std::vector<uint8_t>& stream);
// A movable HGLOBAL holding the bytes; null when the heap refuses.
HGLOBAL daStreamToHGlobal(const std::vector<uint8_t>& stream);
