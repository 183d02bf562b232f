// Response header lines as a server sends them, one after the other as libcurl hands them over.
#include "fuzz_support.h"

#include "engine/http_transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QMap<QString, QString> headers;
    for (const QByteArray &line : fuzzBytes(data, size).split('\n'))
        addResponseHeaderLine(line + '\n', &headers);
    return 0;
}
