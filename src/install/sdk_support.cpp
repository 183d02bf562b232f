#include "install/sdk_support.h"

#include <7zCrc.h>

#include <QtGlobal>

#include <mutex>

namespace sdk {
namespace {

void *allocate(ISzAllocPtr, size_t size)
{
    return size == 0 ? nullptr : qMallocAligned(size, 1);
}

void release(ISzAllocPtr, void *address)
{
    qFreeAligned(address);
}

const ISzAlloc kAllocator = {allocate, release};

} // namespace

ISzAllocPtr allocator()
{
    return &kAllocator;
}

void ensureCrcTable()
{
    // The table is process-wide; the worker and the window thread may both reach here first.
    static std::once_flag once;
    std::call_once(once, [] { CrcGenerateTable(); });
}

} // namespace sdk
