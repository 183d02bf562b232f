#pragma once

#include <QString>

#include <cstdio>

namespace publish {

// How the publisher says what went wrong (and the odd warning): one line on standard error,
// named after the tool.
inline void fail(const QString &message)
{
    fprintf(stderr, "korvel-publish: %s\n", qPrintable(message));
}

} // namespace publish
