#pragma once

#include <curl/curl.h>

#include <mutex>
#include <utility>

// Move-only owner of a libcurl easy handle: curl_easy_cleanup when it goes. May hold null
// (curl_easy_init failed).
class CurlEasy {
public:
    CurlEasy() = default;
    explicit CurlEasy(CURL *handle) : m_handle(handle) {}
    ~CurlEasy() { reset(); }
    CurlEasy(CurlEasy &&other) noexcept : m_handle(other.release()) {}
    CurlEasy &operator=(CurlEasy &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CurlEasy(const CurlEasy &) = delete;
    CurlEasy &operator=(const CurlEasy &) = delete;

    CURL *get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    CURL *release() { return std::exchange(m_handle, nullptr); }
    void reset(CURL *handle = nullptr)
    {
        if (m_handle)
            curl_easy_cleanup(m_handle);
        m_handle = handle;
    }

private:
    CURL *m_handle = nullptr;
};

// Move-only owner of a curl_slist: curl_slist_free_all when it goes. Empty means null.
class CurlHeaderList {
public:
    CurlHeaderList() = default;
    ~CurlHeaderList() { curl_slist_free_all(m_list); }
    CurlHeaderList(CurlHeaderList &&other) noexcept : m_list(std::exchange(other.m_list, nullptr)) {}
    CurlHeaderList &operator=(CurlHeaderList &&other) noexcept
    {
        if (this != &other) {
            curl_slist_free_all(m_list);
            m_list = std::exchange(other.m_list, nullptr);
        }
        return *this;
    }
    CurlHeaderList(const CurlHeaderList &) = delete;
    CurlHeaderList &operator=(const CurlHeaderList &) = delete;

    // Appends a copy of line; false when libcurl could not allocate (the list is then unchanged).
    bool append(const char *line)
    {
        curl_slist *grown = curl_slist_append(m_list, line);
        if (!grown)
            return false;
        m_list = grown;
        return true;
    }
    curl_slist *get() const { return m_list; }

private:
    curl_slist *m_list = nullptr;
};

// Owner of a libcurl share handle through which concurrent easy handles share their DNS cache
// and TLS sessions (each kind behind a lock of its own): a second connection to a server then
// skips the name look-up and the full TLS handshake. Connections themselves are not shared
// between threads (libcurl does not support that); each thread keeps its own. Not moved: the
// handle points at this object's locks. May hold null (curl_share_init failed): the handles then
// simply share nothing.
class CurlShare {
public:
    CurlShare() : m_share(curl_share_init())
    {
        if (!m_share)
            return;
        curl_share_setopt(m_share, CURLSHOPT_LOCKFUNC, &CurlShare::lock);
        curl_share_setopt(m_share, CURLSHOPT_UNLOCKFUNC, &CurlShare::unlock);
        curl_share_setopt(m_share, CURLSHOPT_USERDATA, static_cast<void *>(this));
        curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    // Every easy handle that uses it must be gone first.
    ~CurlShare()
    {
        if (m_share)
            curl_share_cleanup(m_share);
    }
    CurlShare(const CurlShare &) = delete;
    CurlShare &operator=(const CurlShare &) = delete;

    CURLSH *get() const { return m_share; }

private:
    static std::mutex *mutexFor(void *self, curl_lock_data data)
    {
        auto *share = static_cast<CurlShare *>(self);
        return data == CURL_LOCK_DATA_DNS        ? &share->m_dnsLock
            : data == CURL_LOCK_DATA_SSL_SESSION ? &share->m_sessionLock
                                                 : &share->m_otherLock;
    }
    static void lock(CURL *, curl_lock_data data, curl_lock_access, void *self)
    {
        mutexFor(self, data)->lock();
    }
    static void unlock(CURL *, curl_lock_data data, void *self) { mutexFor(self, data)->unlock(); }

    std::mutex m_dnsLock;
    std::mutex m_sessionLock;
    std::mutex m_otherLock; // the share's own data
    CURLSH *m_share;
};
