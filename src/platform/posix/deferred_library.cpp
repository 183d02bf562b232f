#include "platform/posix/deferred_library.h"

#include <dlfcn.h>

namespace platform {

void *DeferredLibrary::symbol(const char *name)
{
    // Looked up in this library only: the program's own forwarder of the same name must never
    // be found instead.
    std::call_once(m_once, [this] { m_handle = ::dlopen(m_soname, RTLD_NOW | RTLD_LOCAL); });
    return m_handle ? ::dlsym(m_handle, name) : nullptr;
}

} // namespace platform
