#pragma once

#include "support/http_server.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <QList>
#include <QString>

#include "engine/status_sink.h"

// A private HOME and a loopback server that all four servers point at; a proxy variable of the
// caller's environment can never send a test's requests off the machine.
class LoopbackTest : public ::testing::Test {
protected:
    LoopbackTest()
    {
        home.setEnv("no_proxy", "*");
        home.setEnv("NO_PROXY", "*");
        const QByteArray base = server.baseUrl().toUtf8();
        for (const char *name : {"KORVEL_CATALOGUE_SERVER", "KORVEL_COMPONENT_SERVER",
                                 "KORVEL_PACKAGE_SERVER", "KORVEL_STATS_SERVER"})
            home.setEnv(name, base);
    }

    TempHome home;
    TestHttpServer server;
};

// Keeps every report, so a test can compare the whole sequence.
struct Report {
    int stage;
    int code;
    QString version;
    QString package;
    QString text;
    bool operator==(const Report &o) const
    {
        return stage == o.stage && code == o.code && version == o.version
            && package == o.package && text == o.text;
    }
};

inline void PrintTo(const Report &r, std::ostream *os)
{
    *os << "{" << r.stage << ", " << r.code << ", \"" << r.version.toStdString() << "\", \""
        << r.package.toStdString() << "\", \"" << r.text.toStdString() << "\"}";
}

class RecordingSink : public StatusSink {
public:
    void report(int stage, int code, const QString &version, const QString &package,
                const QString &text) override
    {
        reports.append({stage, code, version, package, text});
    }
    QList<Report> reports;
};
