#include "install/binary_patch.h"

#include "install/sdk_support.h"
#include "platform/sha256.h"

#include <LzmaDec.h>

#include <QIODevice>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace {

constexpr int DescriptorOffset = 96;
constexpr int DescriptorSize = 24;
constexpr quint64 MaxNumber = quint64(std::numeric_limits<qint64>::max());
// Input read from the patch per refill of one stream, and the pieces the result is made in.
constexpr size_t InputBufferSize = 64 * 1024;
constexpr size_t ChunkSize = 256 * 1024;

quint32 readLe32(const unsigned char *p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

quint64 readLe64(const unsigned char *p)
{
    return quint64(readLe32(p)) | quint64(readLe32(p + 4)) << 32;
}

void writeLe(QByteArray &out, quint64 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
}

// Reads exactly size bytes at offset; a device may hand out fewer bytes per read than asked.
bool readAt(QIODevice *device, quint64 offset, unsigned char *buffer, size_t size)
{
    if (offset > MaxNumber || !device->seek(qint64(offset)))
        return false;
    size_t done = 0;
    while (done < size) {
        const qint64 n = device->read(reinterpret_cast<char *>(buffer) + done, qint64(size - done));
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// The dictionary an LZMA stream is given: what it declares, but never more than its unpacked
// size needs (a stream never refers further back than its own start), and at least what the
// decoder takes.
quint32 effectiveDictionary(const PatchStream &stream)
{
    const quint32 declared = readLe32(stream.lzmaProperties.data() + 1);
    const quint64 needed = qMax<quint64>(stream.unpackedSize, patch::MinDictionary);
    return quint32(qMax<quint64>(qMin<quint64>(declared, needed), patch::MinDictionary));
}

// Owns an LZMA decoder's probability tables and dictionary.
class LzmaState {
public:
    LzmaState() { LzmaDec_CONSTRUCT(&m_state); }
    ~LzmaState() { LzmaDec_Free(&m_state, sdk::allocator()); }
    LzmaState(const LzmaState &) = delete;
    LzmaState &operator=(const LzmaState &) = delete;
    CLzmaDec *get() { return &m_state; }

private:
    CLzmaDec m_state;
};

// One of the three streams, read front to back: its packed bytes from their place in the patch
// (the three are read in turn, so each keeps its own position), unpacked as they are asked for.
class StreamReader {
public:
    StreamReader(QIODevice *patch, quint64 offset, const PatchStream &stream)
        : m_patch(patch),
          m_offset(offset),
          m_stream(stream),
          m_packedLeft(stream.packedSize),
          m_unpackedLeft(stream.unpackedSize)
    {
    }

    PatchStatus open()
    {
        if (m_stream.method == patch::Method::Stored)
            return PatchStatus::Applied;
        // The dictionary is cut to what the stream needs before the decoder allocates it.
        std::array<unsigned char, patch::LzmaPropertiesSize> props = m_stream.lzmaProperties;
        const quint32 dictionary = effectiveDictionary(m_stream);
        for (int i = 0; i < 4; ++i)
            props[1 + i] = static_cast<unsigned char>(dictionary >> (8 * i));
        const SRes res = LzmaDec_Allocate(m_lzma.get(), props.data(), LZMA_PROPS_SIZE, sdk::allocator());
        if (res == SZ_ERROR_MEM)
            return PatchStatus::OutOfMemory;
        if (res != SZ_OK)
            return PatchStatus::Malformed;
        LzmaDec_Init(m_lzma.get());
        m_input.reset(new (std::nothrow) unsigned char[InputBufferSize]);
        return m_input ? PatchStatus::Applied : PatchStatus::OutOfMemory;
    }

    // Fills buffer with the next size bytes of the stream. Malformed when the stream has fewer
    // or its data is corrupt; ReadFailed when the patch cannot be read.
    PatchStatus read(unsigned char *buffer, size_t size)
    {
        if (size > m_unpackedLeft)
            return PatchStatus::Malformed;
        if (m_stream.method == patch::Method::Stored) {
            if (!readAt(m_patch, m_offset + m_consumed, buffer, size))
                return PatchStatus::ReadFailed;
            m_consumed += size;
            m_packedLeft -= size;
            m_unpackedLeft -= size;
            return PatchStatus::Applied;
        }
        size_t done = 0;
        // Once the last byte is out, the decoder still reads what ends the stream.
        while (done < size || (m_unpackedLeft == 0 && !m_ended)) {
            if (m_inPos == m_inSize && m_packedLeft > 0) {
                const size_t n = size_t(qMin<quint64>(m_packedLeft, InputBufferSize));
                if (!readAt(m_patch, m_offset + m_consumed, m_input.get(), n))
                    return PatchStatus::ReadFailed;
                m_consumed += n;
                m_packedLeft -= n;
                m_inPos = 0;
                m_inSize = n;
            }
            SizeT outLen = size - done;
            SizeT inLen = m_inSize - m_inPos;
            // Asked for the stream's last bytes, the decoder also checks that it ends there.
            const ELzmaFinishMode finish = outLen == m_unpackedLeft ? LZMA_FINISH_END : LZMA_FINISH_ANY;
            ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
            if (LzmaDec_DecodeToBuf(m_lzma.get(), buffer + done, &outLen, m_input.get() + m_inPos, &inLen,
                                    finish, &status)
                != SZ_OK)
                return PatchStatus::Malformed;
            m_inPos += inLen;
            done += outLen;
            m_unpackedLeft -= outLen;
            // No end marker: the stream ends at its declared size, nowhere else.
            if (status == LZMA_STATUS_FINISHED_WITH_MARK)
                return PatchStatus::Malformed;
            if (m_unpackedLeft == 0 && status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK)
                m_ended = true;
            else if (inLen == 0 && outLen == 0)
                return PatchStatus::Malformed; // the decoder wants bytes the stream does not have
        }
        return PatchStatus::Applied;
    }

    // Whether every unpacked and every packed byte has been used, and an LZMA stream ended there.
    bool isUsedUp() const
    {
        if (m_unpackedLeft != 0 || m_packedLeft != 0)
            return false;
        if (m_stream.method == patch::Method::Stored)
            return true;
        return m_inPos == m_inSize && m_ended;
    }

private:
    QIODevice *m_patch;
    quint64 m_offset;
    PatchStream m_stream;
    quint64 m_consumed = 0;
    quint64 m_packedLeft;
    quint64 m_unpackedLeft;
    LzmaState m_lzma;
    std::unique_ptr<unsigned char[]> m_input;
    size_t m_inPos = 0;
    size_t m_inSize = 0;
    bool m_ended = false;
};

// The control stream's numbers, read through a small buffer of their own.
class NumberReader {
public:
    explicit NumberReader(StreamReader *stream, quint64 size) : m_stream(stream), m_left(size) {}

    PatchStatus next(quint64 *value)
    {
        quint64 result = 0;
        for (int i = 0; i < patch::MaxNumberBytes; ++i) {
            if (m_pos == m_size) {
                if (m_left == 0)
                    return PatchStatus::Malformed;
                m_size = size_t(qMin<quint64>(m_left, sizeof m_buffer));
                const PatchStatus status = m_stream->read(m_buffer, m_size);
                if (status != PatchStatus::Applied)
                    return status;
                m_left -= m_size;
                m_pos = 0;
            }
            const unsigned char byte = m_buffer[m_pos++];
            result |= quint64(byte & 0x7f) << (7 * i);
            if (!(byte & 0x80)) {
                // Only the shortest form: a last byte of zero would only lengthen the number.
                if (byte == 0 && i > 0)
                    return PatchStatus::Malformed;
                *value = result;
                return PatchStatus::Applied;
            }
        }
        return PatchStatus::Malformed; // longer than any number the format allows
    }

    bool atEnd() const { return m_pos == m_size && m_left == 0; }

private:
    StreamReader *m_stream;
    quint64 m_left;
    unsigned char m_buffer[4096];
    size_t m_pos = 0;
    size_t m_size = 0;
};

// The result device, with the digest of what went into it.
class ResultWriter {
public:
    explicit ResultWriter(QIODevice *device) : m_device(device) {}

    bool write(const unsigned char *data, size_t size)
    {
        m_digest.addData(reinterpret_cast<const char *>(data), qint64(size));
        return m_device->write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
    }
    QByteArray digest() { return m_digest.result(); }

private:
    QIODevice *m_device;
    platform::Sha256 m_digest;
};

bool isRandomAccess(QIODevice *device)
{
    return device && device->isOpen() && device->isReadable() && !device->isSequential();
}

} // namespace

QByteArray PatchHeader::encode() const
{
    QByteArray out(patch::Magic, sizeof patch::Magic);
    writeLe(out, patch::FormatVersion, 4);
    writeLe(out, 0, 4);
    writeLe(out, baseSize, 8);
    writeLe(out, resultSize, 8);
    out.append(baseSha256.leftJustified(32, '\0', true));
    out.append(resultSha256.leftJustified(32, '\0', true));
    for (const PatchStream &stream : streams) {
        writeLe(out, stream.packedSize, 8);
        writeLe(out, stream.unpackedSize, 8);
        out.append(char(stream.method));
        out.append(reinterpret_cast<const char *>(stream.lzmaProperties.data()), patch::LzmaPropertiesSize);
        writeLe(out, 0, 2);
    }
    return out;
}

quint64 PatchHeader::patchSize() const
{
    quint64 total = patch::HeaderSize;
    for (const PatchStream &stream : streams) {
        if (stream.packedSize > MaxNumber - total)
            return 0;
        total += stream.packedSize;
    }
    return total;
}

const char *patchStatusName(PatchStatus status)
{
    switch (status) {
    case PatchStatus::Applied:
        return "applied";
    case PatchStatus::NotAPatch:
        return "not a patch";
    case PatchStatus::UnsupportedVersion:
        return "unsupported patch version";
    case PatchStatus::Malformed:
        return "malformed patch";
    case PatchStatus::BaseMismatch:
        return "base of another size";
    case PatchStatus::ResultMismatch:
        return "result of another digest";
    case PatchStatus::ReadFailed:
        return "read failed";
    case PatchStatus::WriteFailed:
        return "write failed";
    case PatchStatus::OutOfMemory:
        return "out of memory";
    }
    return "unknown";
}

PatchStatus readPatchHeader(QIODevice *patch, PatchHeader *header)
{
    if (!isRandomAccess(patch))
        return PatchStatus::ReadFailed;
    const qint64 deviceSize = patch->size();
    if (deviceSize < patch::HeaderSize) {
        // Too short for a header; still tell a short patch from other bytes.
        unsigned char start[sizeof patch::Magic] = {};
        const bool magic = deviceSize >= qint64(sizeof start) && readAt(patch, 0, start, sizeof start)
            && memcmp(start, patch::Magic, sizeof start) == 0;
        return magic ? PatchStatus::Malformed : PatchStatus::NotAPatch;
    }
    unsigned char raw[patch::HeaderSize];
    if (!readAt(patch, 0, raw, sizeof raw))
        return PatchStatus::ReadFailed;
    if (memcmp(raw, patch::Magic, sizeof patch::Magic) != 0)
        return PatchStatus::NotAPatch;
    if (readLe32(raw + 8) != patch::FormatVersion || readLe32(raw + 12) != 0)
        return PatchStatus::UnsupportedVersion;

    PatchHeader h;
    h.baseSize = readLe64(raw + 16);
    h.resultSize = readLe64(raw + 24);
    h.baseSha256 = QByteArray(reinterpret_cast<const char *>(raw + 32), 32);
    h.resultSha256 = QByteArray(reinterpret_cast<const char *>(raw + 64), 32);
    if (h.baseSize > MaxNumber || h.resultSize > MaxNumber)
        return PatchStatus::Malformed;
    for (int i = 0; i < patch::StreamCount; ++i) {
        const unsigned char *d = raw + DescriptorOffset + i * DescriptorSize;
        PatchStream &s = h.streams[size_t(i)];
        s.packedSize = readLe64(d);
        s.unpackedSize = readLe64(d + 8);
        if (s.packedSize > MaxNumber || s.unpackedSize > MaxNumber || d[22] != 0 || d[23] != 0)
            return PatchStatus::Malformed;
        memcpy(s.lzmaProperties.data(), d + 17, patch::LzmaPropertiesSize);
        if (d[16] == quint8(patch::Method::Stored)) {
            s.method = patch::Method::Stored;
            const bool noProperties = std::all_of(s.lzmaProperties.begin(), s.lzmaProperties.end(),
                                                  [](unsigned char c) { return c == 0; });
            if (s.packedSize != s.unpackedSize || !noProperties)
                return PatchStatus::Malformed;
        } else if (d[16] == quint8(patch::Method::Lzma)) {
            s.method = patch::Method::Lzma;
            // lc + lp above 4 would make the decoder's tables grow far beyond the dictionary.
            const unsigned lcLpPb = s.lzmaProperties[0];
            if (s.unpackedSize == 0 || lcLpPb >= 9 * 5 * 5 || (lcLpPb % 9) + (lcLpPb / 9 % 5) > 4)
                return PatchStatus::Malformed;
            if (effectiveDictionary(s) > patch::MaxDictionary[i])
                return PatchStatus::Malformed;
        } else {
            return PatchStatus::Malformed;
        }
    }
    const PatchStream &diff = h.streams[patch::DiffStream];
    const PatchStream &extra = h.streams[patch::ExtraStream];
    if (diff.unpackedSize > h.resultSize || extra.unpackedSize != h.resultSize - diff.unpackedSize)
        return PatchStatus::Malformed;
    // Every entry makes at least one byte and takes at most three numbers of the longest form.
    const PatchStream &control = h.streams[patch::ControlStream];
    if (control.unpackedSize / (3 * patch::MaxNumberBytes) > h.resultSize
        || (h.resultSize > 0) != (control.unpackedSize > 0))
        return PatchStatus::Malformed;
    if (h.patchSize() != quint64(deviceSize))
        return PatchStatus::Malformed;
    *header = h;
    return PatchStatus::Applied;
}

PatchStatus applyPatch(QIODevice *patch, QIODevice *base, QIODevice *result, QByteArray *resultSha256)
{
    if (resultSha256)
        resultSha256->clear();
    PatchHeader header;
    PatchStatus status = readPatchHeader(patch, &header);
    if (status != PatchStatus::Applied)
        return status;
    if (!isRandomAccess(base))
        return PatchStatus::ReadFailed;
    if (quint64(base->size()) != header.baseSize)
        return PatchStatus::BaseMismatch;

    quint64 offset = patch::HeaderSize;
    std::array<std::unique_ptr<StreamReader>, patch::StreamCount> streams;
    for (int i = 0; i < patch::StreamCount; ++i) {
        streams[size_t(i)].reset(new (std::nothrow) StreamReader(patch, offset, header.streams[size_t(i)]));
        if (!streams[size_t(i)])
            return PatchStatus::OutOfMemory;
        if ((status = streams[size_t(i)]->open()) != PatchStatus::Applied)
            return status;
        offset += header.streams[size_t(i)].packedSize;
    }
    StreamReader &diff = *streams[patch::DiffStream];
    StreamReader &extra = *streams[patch::ExtraStream];
    NumberReader control(streams[patch::ControlStream].get(),
                         header.streams[patch::ControlStream].unpackedSize);

    std::unique_ptr<unsigned char[]> baseChunk(new (std::nothrow) unsigned char[ChunkSize]);
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[ChunkSize]);
    if (!baseChunk || !chunk)
        return PatchStatus::OutOfMemory;
    ResultWriter writer(result);

    quint64 basePosition = 0;
    quint64 left = header.resultSize;
    while (left > 0) {
        quint64 seek = 0;
        quint64 copy = 0;
        quint64 added = 0;
        if ((status = control.next(&seek)) != PatchStatus::Applied
            || (status = control.next(&copy)) != PatchStatus::Applied
            || (status = control.next(&added)) != PatchStatus::Applied)
            return status;
        if (copy + added == 0 || copy > left || added > left - copy)
            return PatchStatus::Malformed;
        // Zigzag: the low bit is the sign. Positions stay within [0, base size], so neither
        // move can wrap.
        const quint64 distance = (seek >> 1) + (seek & 1);
        if (seek & 1) {
            if (distance > basePosition)
                return PatchStatus::Malformed;
            basePosition -= distance;
        } else {
            if (distance > header.baseSize - basePosition)
                return PatchStatus::Malformed;
            basePosition += distance;
        }
        if (copy > header.baseSize - basePosition)
            return PatchStatus::Malformed;

        while (copy > 0) {
            const size_t n = size_t(qMin<quint64>(copy, ChunkSize));
            if ((status = diff.read(chunk.get(), n)) != PatchStatus::Applied)
                return status;
            if (!readAt(base, basePosition, baseChunk.get(), n))
                return PatchStatus::ReadFailed;
            for (size_t i = 0; i < n; ++i)
                chunk[i] = static_cast<unsigned char>(chunk[i] + baseChunk[i]);
            if (!writer.write(chunk.get(), n))
                return PatchStatus::WriteFailed;
            basePosition += n;
            copy -= n;
            left -= n;
        }
        while (added > 0) {
            const size_t n = size_t(qMin<quint64>(added, ChunkSize));
            if ((status = extra.read(chunk.get(), n)) != PatchStatus::Applied)
                return status;
            if (!writer.write(chunk.get(), n))
                return PatchStatus::WriteFailed;
            added -= n;
            left -= n;
        }
    }
    if (!control.atEnd() || !streams[patch::ControlStream]->isUsedUp() || !diff.isUsedUp()
        || !extra.isUsedUp())
        return PatchStatus::Malformed;
    const QByteArray digest = writer.digest();
    if (resultSha256)
        *resultSha256 = digest;
    return digest == header.resultSha256 ? PatchStatus::Applied : PatchStatus::ResultMismatch;
}
