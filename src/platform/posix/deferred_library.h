#pragma once

#include <mutex>

// A shared library loaded when one of its functions is first called, not when the program
// starts. A plain start of the launcher only loads and calls the client; the libraries of the
// installer's network and window (libcurl with its TLS, Kerberos and LDAP, X11, FreeType,
// fontconfig) cost it milliseconds for nothing. On this platform the program does not link
// them: each function of theirs it calls is defined here as a forwarder that loads the library
// on first use and calls the library's own function. Where they are linked statically, these
// files are not built at all.
namespace platform {

class DeferredLibrary {
public:
    explicit constexpr DeferredLibrary(const char *soname) : m_soname(soname) {}
    DeferredLibrary(const DeferredLibrary &) = delete;
    DeferredLibrary &operator=(const DeferredLibrary &) = delete;

    // The address of the library's own function name, loading the library first if needed;
    // null when the library or the function is missing. Thread-safe.
    void *symbol(const char *name);

private:
    const char *m_soname;
    std::once_flag m_once;
    void *m_handle = nullptr;
};

// The return type of a function type.
template <typename Function>
struct ReturnOf;
template <typename Result, typename... Arguments>
struct ReturnOf<Result(Arguments...)> {
    using type = Result;
};

} // namespace platform

// Defines the library function name (declared by the library's header) as a forwarder to the
// library's own function: params is its parameter list, args the same names in parentheses,
// failure what it returns when the library cannot be loaded. Only the functions that open a
// session with the library (curl_easy_init, XOpenDisplay, FT_Init_FreeType, ...) can meet
// that case: the others are called only after one of those succeeded.
#define KORVEL_DEFERRED(library, name, params, args, failure)                                                \
    platform::ReturnOf<decltype(name)>::type name params                                                     \
    {                                                                                                        \
        static const auto real = reinterpret_cast<decltype(&name)>(library.symbol(#name));                   \
        if (!real)                                                                                           \
            return failure;                                                                                  \
        return real args;                                                                                    \
    }
