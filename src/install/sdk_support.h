#pragma once

#include <7zTypes.h>

// What every use of the LZMA SDK's decoders in this subsystem shares.
namespace sdk {

// The allocator handed to the decoders, as main and as temporary allocator. A request for
// 0 bytes gives a null pointer (the decoders expect that); a failed allocation gives a null
// pointer, which the decoders turn into SZ_ERROR_MEM. Thread-safe.
ISzAllocPtr allocator();

// Builds the SDK's CRC table the first time it is called; later calls do nothing. The 7z
// reader and CrcCalc need it. Thread-safe.
void ensureCrcTable();

} // namespace sdk
