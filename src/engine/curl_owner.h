#pragma once

#include <curl/curl.h>

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
