#include "platform/proxy_list.h"

#include <QUrl>

#include <gtest/gtest.h>

TEST(ProxyList, AnEntryForTheSchemeWinsOverOneForEveryScheme)
{
    const struct {
        const char *list;
        const char *scheme;
        const char *proxy;
    } rows[] = {
        {"proxy:8080", "http", "http://proxy:8080"},
        {"proxy:8080", "https", "http://proxy:8080"},
        {"http=web:1;https=secure:2", "https", "http://secure:2"},
        {"http=web:1;https=secure:2", "http", "http://web:1"},
        {"every:3;https=secure:2", "https", "http://secure:2"},
        {"https=secure:2 every:3", "http", "http://every:3"},
        {"HTTPS=secure:2", "https", "http://secure:2"},
        {"http://web:1", "http", "http://web:1"},
        {"ftp=files:21", "http", ""},
        {"socks=socks:1080", "https", ""},
        {"https=https://secure:2", "https", ""}, // a proxy spoken to over TLS: not one we can use
        {"https=;first:4,second:5", "https", "http://first:4"},
        {"", "http", ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(platform::proxyFromList(row.list, row.scheme), QString(row.proxy))
            << row.list << " for " << row.scheme;
}

TEST(ProxyList, BypassEntriesMatchHostSchemeAndPortAsTheSystemDoes)
{
    const struct {
        const char *url;
        const char *list;
        bool bypassed;
    } rows[] = {
        {"http://intranet/x", "<local>", true},
        {"http://intranet.example/x", "<LOCAL>", false},
        {"http://10.1.2.3/x", "10.*", true},
        {"http://11.1.2.3/x", "10.*", false},
        {"http://HOST.example/", "*.EXAMPLE", true},
        {"http://other/", "a; b,  other", true},
        {"http://host.example:8080/", "host.example:8080", true},
        {"http://host.example/", "host.example:8080", false},
        // A port in an entry is compared with the one the URL is reached on: its scheme's
        // default when it names none.
        {"http://host.example/", "host.example:80", true},
        {"https://host.example/", "host.example:443", true},
        {"https://host.example/", "host.example:80", false},
        {"https://host.example:8443/", "host.example:443", false},
        {"https://host.example/", "https://host.example", true},
        {"http://host.example/", "https://host.example", false},
        {"https://host.example/", "https://*.example:443", true},
        {"http://host.example/", "", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(platform::isBypassed(QUrl(row.url), row.list), row.bypassed)
            << row.url << " by " << row.list;
}
