#include "install/lzma_stream.h"

#include "install/sdk_support.h"

#include <LzmaDec.h>

#include <QIODevice>

#include <cstring>
#include <vector>

namespace {

constexpr int kHeaderSize = LZMA_PROPS_SIZE + 8;
constexpr qint64 kBufferSize = 65536;
constexpr quint64 kUnknownSize = ~quint64(0);
// The header's sizes are believed only within what a real stream uses. 64 MiB is the largest
// dictionary the usual compressors choose; a declared size of 256 GiB or more is not a stream
// this program unpacks (the same bound as other LZMA-alone readers use to recognise the format).
constexpr quint32 kMaxDictionary = 64u << 20;
constexpr quint64 kMaxUnpackedSize = quint64(1) << 38;
// The decoder never uses a dictionary smaller than this.
constexpr quint32 kMinDictionary = 4096;

// Owns the decoder's probability tables and dictionary.
class LzmaDecoder {
public:
    LzmaDecoder() { LzmaDec_CONSTRUCT(&m_state); }
    ~LzmaDecoder() { LzmaDec_Free(&m_state, sdk::allocator()); }
    LzmaDecoder(const LzmaDecoder &) = delete;
    LzmaDecoder &operator=(const LzmaDecoder &) = delete;

    bool allocate(const unsigned char *props)
    {
        return LzmaDec_Allocate(&m_state, props, LZMA_PROPS_SIZE, sdk::allocator()) == SZ_OK;
    }
    CLzmaDec *state() { return &m_state; }

private:
    CLzmaDec m_state;
};

// A device may deliver fewer bytes than asked (a pipe, a socket); keep reading until it ends.
qint64 readFully(QIODevice *in, char *buffer, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const qint64 n = in->read(buffer + done, size - done);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

} // namespace

bool decodeLzmaStream(QIODevice *in, QIODevice *out)
{
    unsigned char header[kHeaderSize];
    if (readFully(in, reinterpret_cast<char *>(header), kHeaderSize) != kHeaderSize)
        return false;
    quint64 remaining = 0;
    for (int i = 0; i < 8; ++i)
        remaining |= quint64(header[LZMA_PROPS_SIZE + i]) << (8 * i);
    const bool sizeKnown = remaining != kUnknownSize;
    if (sizeKnown && remaining >= kMaxUnpackedSize)
        return false;

    // The dictionary is allocated as the header asks, so the request is checked first. A stream
    // of known size never refers further back than its size, so a larger dictionary is cut down
    // to it (the decoder's result is the same); what remains must be plausible.
    quint32 dictionary = 0;
    for (int i = 0; i < 4; ++i)
        dictionary |= quint32(header[1 + i]) << (8 * i);
    if (sizeKnown && dictionary > remaining)
        dictionary = quint32(qMax<quint64>(remaining, kMinDictionary));
    if (dictionary > kMaxDictionary)
        return false;
    for (int i = 0; i < 4; ++i)
        header[1 + i] = static_cast<unsigned char>(dictionary >> (8 * i));

    LzmaDecoder decoder;
    if (!decoder.allocate(header))
        return false;
    LzmaDec_Init(decoder.state());

    std::vector<unsigned char> input(kBufferSize);
    std::vector<unsigned char> output(kBufferSize);
    size_t inPos = 0;
    size_t inSize = 0;
    bool inputEnded = false;
    while (!sizeKnown || remaining > 0) {
        if (inPos == inSize && !inputEnded) {
            const qint64 n = readFully(in, reinterpret_cast<char *>(input.data()), kBufferSize);
            inPos = 0;
            inSize = n > 0 ? size_t(n) : 0;
            inputEnded = n < kBufferSize;
        }
        SizeT outLen = kBufferSize;
        ELzmaFinishMode finish = LZMA_FINISH_ANY;
        if (sizeKnown && remaining <= quint64(kBufferSize)) {
            // The last piece of a sized stream: the decoder may check that it ends here.
            outLen = SizeT(remaining);
            finish = LZMA_FINISH_END;
        }
        SizeT inLen = inSize - inPos;
        ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
        const SRes res = LzmaDec_DecodeToBuf(decoder.state(), output.data(), &outLen, input.data() + inPos,
                                             &inLen, finish, &status);
        if (res != SZ_OK)
            return false;
        inPos += inLen;
        if (outLen > 0) {
            if (out->write(reinterpret_cast<const char *>(output.data()), qint64(outLen)) != qint64(outLen))
                return false;
            if (sizeKnown)
                remaining -= outLen;
        }
        if (status == LZMA_STATUS_FINISHED_WITH_MARK)
            return !sizeKnown || remaining == 0;
        // No progress: the decoder wants bytes that the input no longer has.
        if (inLen == 0 && outLen == 0 && inPos == inSize && inputEnded)
            return false;
        if (inLen == 0 && outLen == 0 && inPos < inSize)
            return false;
    }
    return true;
}
