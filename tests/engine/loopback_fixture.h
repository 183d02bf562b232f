#pragma once

#include "support/http_server.h"
#include "support/recording_sink.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

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
