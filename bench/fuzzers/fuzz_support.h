#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The fuzzer's input as Qt bytes (a copy: Qt may keep a reference past the call).
inline QByteArray fuzzBytes(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// A property the target checks has failed: a finding like a crash.
[[noreturn]] inline void fuzzFailure(const char *what)
{
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}
