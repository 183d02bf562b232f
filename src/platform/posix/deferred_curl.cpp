// libcurl, loaded by the first transfer (see deferred_library.h).
#include "platform/posix/deferred_library.h"

#include <curl/curl.h>

#include <cstdarg>

namespace {
platform::DeferredLibrary curl("libcurl.so.4");
} // namespace

extern "C" {

// The forwarders' parameter lists are macro arguments, which clang-format would lay out as
// expressions ("Display * d").
// clang-format off

KORVEL_DEFERRED(curl, curl_global_init, (long flags), (flags), CURLE_FAILED_INIT)
KORVEL_DEFERRED(curl, curl_version_info, (CURLversion age), (age), nullptr)
KORVEL_DEFERRED(curl, curl_easy_init, (), (), nullptr)
KORVEL_DEFERRED(curl, curl_easy_perform, (CURL *handle), (handle), CURLE_FAILED_INIT)
KORVEL_DEFERRED(curl, curl_easy_cleanup, (CURL *handle), (handle), )
KORVEL_DEFERRED(curl, curl_easy_reset, (CURL *handle), (handle), )
KORVEL_DEFERRED(curl, curl_share_init, (), (), nullptr)
KORVEL_DEFERRED(curl, curl_share_cleanup, (CURLSH *share), (share), CURLSHE_NOT_BUILT_IN)
KORVEL_DEFERRED(curl, curl_slist_append, (curl_slist *list, const char *line), (list, line),
                nullptr)
KORVEL_DEFERRED(curl, curl_slist_free_all, (curl_slist *list), (list), )

// The signatures below are libcurl's own, and its option enumerations are int-sized, so
// va_start after one of them is sound (libcurl does the same); clang warns about any
// enumeration in that place.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif

CURLcode curl_easy_setopt(CURL *handle, CURLoption option, ...)
{
    static const auto real =
        reinterpret_cast<decltype(&curl_easy_setopt)>(curl.symbol("curl_easy_setopt"));
    if (!real)
        return CURLE_FAILED_INIT;
    // libcurl's own rule: the option's number says the type of its one argument.
    va_list arguments;
    va_start(arguments, option);
    CURLcode result;
    if (option < CURLOPTTYPE_OBJECTPOINT)
        result = real(handle, option, va_arg(arguments, long));
    else if (option < CURLOPTTYPE_OFF_T)
        result = real(handle, option, va_arg(arguments, void *)); // data and function pointers
    else if (option < CURLOPTTYPE_BLOB)
        result = real(handle, option, va_arg(arguments, curl_off_t));
    else
        result = real(handle, option, va_arg(arguments, void *));
    va_end(arguments);
    return result;
}

CURLcode curl_easy_getinfo(CURL *handle, CURLINFO info, ...)
{
    static const auto real =
        reinterpret_cast<decltype(&curl_easy_getinfo)>(curl.symbol("curl_easy_getinfo"));
    if (!real)
        return CURLE_FAILED_INIT;
    // Every query passes one pointer to where the answer goes.
    va_list arguments;
    va_start(arguments, info);
    const CURLcode result = real(handle, info, va_arg(arguments, void *));
    va_end(arguments);
    return result;
}

CURLSHcode curl_share_setopt(CURLSH *share, CURLSHoption option, ...)
{
    static const auto real =
        reinterpret_cast<decltype(&curl_share_setopt)>(curl.symbol("curl_share_setopt"));
    if (!real)
        return CURLSHE_NOT_BUILT_IN;
    // libcurl reads an int for the kinds of data shared, a pointer for everything else.
    va_list arguments;
    va_start(arguments, option);
    CURLSHcode result;
    if (option == CURLSHOPT_SHARE || option == CURLSHOPT_UNSHARE)
        result = real(share, option, va_arg(arguments, int));
    else
        result = real(share, option, va_arg(arguments, void *));
    va_end(arguments);
    return result;
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// clang-format on

} // extern "C"
