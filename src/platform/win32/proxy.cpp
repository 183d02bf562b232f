// The user's proxy as Windows keeps it (Internet Options: a fixed proxy with its exceptions, a
// proxy script, automatic detection), asked of WinHTTP for each URL.
#include "platform/proxy.h"
#include "platform/proxy_list.h"

#include <QUrl>

#include <atomic>
#include <mutex>
#include <string>

#include <windows.h>
#include <winhttp.h>

namespace platform {

namespace {

// WinHTTP is loaded by its full path in the system directory when first needed, never linked:
// it is no "known DLL", so an import would be looked for in the download folder first.
class WinHttp {
public:
    WinHttp()
    {
        wchar_t directory[MAX_PATH];
        const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return;
        const std::wstring path = std::wstring(directory, length) + L"\\winhttp.dll";
        m_module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!m_module)
            return;
        getIeConfig = resolve<decltype(getIeConfig)>("WinHttpGetIEProxyConfigForCurrentUser");
        open = resolve<decltype(open)>("WinHttpOpen");
        getProxyForUrl = resolve<decltype(getProxyForUrl)>("WinHttpGetProxyForUrl");
        closeHandle = resolve<decltype(closeHandle)>("WinHttpCloseHandle");
    }
    ~WinHttp()
    {
        if (m_module)
            ::FreeLibrary(m_module);
    }
    WinHttp(const WinHttp &) = delete;
    WinHttp &operator=(const WinHttp &) = delete;

    bool isLoaded() const { return getIeConfig && open && getProxyForUrl && closeHandle; }

    BOOL(WINAPI *getIeConfig)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG *) = nullptr;
    HINTERNET(WINAPI *open)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) = nullptr;
    BOOL(WINAPI *getProxyForUrl)
    (HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS *, WINHTTP_PROXY_INFO *) = nullptr;
    BOOL(WINAPI *closeHandle)(HINTERNET) = nullptr;

private:
    template <typename Function>
    Function resolve(const char *name) const
    {
        return reinterpret_cast<Function>(reinterpret_cast<void *>(::GetProcAddress(m_module, name)));
    }

    HMODULE m_module = nullptr;
};

// A string WinHTTP allocated for us: released with GlobalFree.
class GlobalString {
public:
    explicit GlobalString(LPWSTR text) : m_text(text) {}
    ~GlobalString()
    {
        if (m_text)
            ::GlobalFree(m_text);
    }
    GlobalString(const GlobalString &) = delete;
    GlobalString &operator=(const GlobalString &) = delete;
    QString text() const { return m_text ? QString::fromWCharArray(m_text) : QString(); }

private:
    LPWSTR m_text;
};

// A WinHTTP session, closed when it goes.
class Session {
public:
    explicit Session(const WinHttp &api)
        : m_api(api),
          m_handle(api.open(L"Korvel", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0))
    {
    }
    ~Session()
    {
        if (m_handle)
            m_api.closeHandle(m_handle);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    HINTERNET get() const { return m_handle; }

private:
    const WinHttp &m_api;
    HINTERNET m_handle;
};

// Automatic detection that found no proxy script once (no WPAD server on this network) costs
// seconds of DHCP and DNS queries; it is not tried again for every transfer.
std::atomic<bool> autoDetectFailed{false};

// One script at a time. Each call fetches and runs the script anew, and calls from eight
// transfers starting together were seen to fail now and then (under Wine), which sent those
// transfers around the proxy.
std::mutex scriptMutex;

QString environmentVariable(const wchar_t *name)
{
    wchar_t value[2048];
    const DWORD length = ::GetEnvironmentVariableW(name, value, 2048);
    return length > 0 && length < 2048 ? QString::fromWCharArray(value, int(length)) : QString();
}

} // namespace

// libcurl reads the process's environment block (GetEnvironmentVariable), not the C runtime's
// copy of it that Qt reads.
bool environmentNamesProxy(const QString &scheme)
{
    const std::wstring lower = (scheme.toLower() + QStringLiteral("_proxy")).toStdWString();
    const std::wstring upper = (scheme.toUpper() + QStringLiteral("_PROXY")).toStdWString();
    if (!environmentVariable(lower.c_str()).isEmpty())
        return true;
    if (scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) != 0
        && !environmentVariable(upper.c_str()).isEmpty())
        return true;
    return !environmentVariable(L"all_proxy").isEmpty() || !environmentVariable(L"ALL_PROXY").isEmpty();
}

QString systemProxyFor(const QString &address)
{
    const QUrl url(address);
    if (!url.isValid() || url.host().isEmpty() || environmentNamesProxy(url.scheme()))
        return QString();
    const WinHttp api;
    if (!api.isLoaded())
        return QString();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!api.getIeConfig(&config))
        return QString();
    const GlobalString autoConfigUrl(config.lpszAutoConfigUrl);
    const GlobalString fixedProxy(config.lpszProxy);
    const GlobalString fixedBypass(config.lpszProxyBypass);

    const bool autoDetect = config.fAutoDetect && !autoDetectFailed.load();
    if (!autoConfigUrl.text().isEmpty() || autoDetect) {
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        const std::wstring scriptUrl = autoConfigUrl.text().toStdWString();
        if (!scriptUrl.empty()) {
            options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = scriptUrl.c_str();
        }
        if (autoDetect) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        // The script's server may want the user's logon, as the proxy itself may.
        options.fAutoLogonIfChallenged = TRUE;
        const std::lock_guard<std::mutex> lock(scriptMutex);
        const Session session(api);
        WINHTTP_PROXY_INFO info = {};
        const std::wstring target = address.toStdWString();
        if (session.get() && api.getProxyForUrl(session.get(), target.c_str(), &options, &info)) {
            const GlobalString proxy(info.lpszProxy);
            const GlobalString bypass(info.lpszProxyBypass);
            if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || isBypassed(url, bypass.text()))
                return QString(); // the script says DIRECT
            return proxyFromList(proxy.text(), url.scheme());
        }
        if (autoDetect && scriptUrl.empty())
            autoDetectFailed.store(true);
        // No script to be had: the fixed proxy, if any, as a browser falls back to it.
    }
    if (fixedProxy.text().isEmpty() || isBypassed(url, fixedBypass.text()))
        return QString();
    return proxyFromList(fixedProxy.text(), url.scheme());
}

} // namespace platform
