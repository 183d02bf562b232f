// An LZMA-alone stream into a bounded buffer (a stream may rightly unpack to far more than it
// is; only memory the decoder itself takes counts here).
#include "fuzz_support.h"

#include "engine/bounded_buffer.h"
#include "install/lzma_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray bytes = fuzzBytes(data, size);
    QBuffer in(&bytes);
    in.open(QIODevice::ReadOnly);
    QByteArray decoded;
    BoundedBuffer out(&decoded, 16 * 1024 * 1024);
    out.open(QIODevice::WriteOnly);
    decodeLzmaStream(&in, &out);
    return 0;
}
