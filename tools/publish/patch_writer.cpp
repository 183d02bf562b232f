#include "patch_writer.h"

#include "install/sdk_support.h"

#include <LzmaEnc.h>

#include <cstring>

namespace {

// The stream compressed with LZMA into packed, or false when that is not smaller than the
// stream itself (or memory ran out: *outOfMemory).
bool compressStream(const QByteArray &data, quint32 dictionary, const PatchPacking &packing,
                    PatchStream *stream, QByteArray *packed, bool *outOfMemory)
{
    CLzmaEncHandle encoder = LzmaEnc_Create(sdk::allocator());
    if (!encoder) {
        *outOfMemory = true;
        return false;
    }
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 9;
    props.dictSize = dictionary;
    props.reduceSize = quint64(data.size());
    props.lc = packing.lc;
    props.lp = packing.lp;
    props.pb = packing.pb;
    props.fb = 273;
    props.numThreads = 1;
    SizeT propsSize = LZMA_PROPS_SIZE;
    // Anything that does not fit in the stream's own size is not worth keeping.
    SizeT packedSize = SizeT(data.size());
    packed->resize(data.size());
    SRes res = LzmaEnc_SetProps(encoder, &props);
    if (res == SZ_OK)
        res = LzmaEnc_WriteProperties(encoder, stream->lzmaProperties.data(), &propsSize);
    if (res == SZ_OK)
        res = LzmaEnc_MemEncode(encoder, reinterpret_cast<Byte *>(packed->data()), &packedSize,
                                reinterpret_cast<const Byte *>(data.constData()), SizeT(data.size()), 0,
                                nullptr, sdk::allocator(), sdk::allocator());
    LzmaEnc_Destroy(encoder, sdk::allocator(), sdk::allocator());
    if (res == SZ_ERROR_MEM)
        *outOfMemory = true;
    if (res != SZ_OK || packedSize >= SizeT(data.size()))
        return false;
    packed->resize(int(packedSize));
    stream->method = patch::Method::Lzma;
    stream->packedSize = packedSize;
    return true;
}

} // namespace

void PatchContent::addNumber(quint64 value)
{
    while (value >= 0x80) {
        control.append(char((value & 0x7f) | 0x80));
        value >>= 7;
    }
    control.append(char(value));
}

void PatchContent::addEntry(qint64 seek, quint64 copy, quint64 extraBytes)
{
    // Zigzag: 0, -1, 1, -2, ... become 0, 1, 2, 3, ...
    addNumber(seek < 0 ? (quint64(-(seek + 1)) << 1) | 1 : quint64(seek) << 1);
    addNumber(copy);
    addNumber(extraBytes);
}

bool writePatch(const PatchContent &content, quint64 baseSize, const QByteArray &baseSha256,
                quint64 resultSize, const QByteArray &resultSha256, const PatchPacking &packing,
                QByteArray *patch)
{
    PatchHeader header;
    header.baseSize = baseSize;
    header.resultSize = resultSize;
    header.baseSha256 = baseSha256;
    header.resultSha256 = resultSha256;
    const QByteArray *streams[patch::StreamCount] = {&content.control, &content.diff, &content.extra};
    QByteArray packed[patch::StreamCount];
    for (int i = 0; i < patch::StreamCount; ++i) {
        PatchStream &stream = header.streams[size_t(i)];
        stream.unpackedSize = quint64(streams[i]->size());
        stream.packedSize = stream.unpackedSize;
        bool outOfMemory = false;
        if (packing.compress && !streams[i]->isEmpty()
            && compressStream(*streams[i],
                              qBound(patch::MinDictionary, packing.dictionary[i], patch::MaxDictionary[i]),
                              packing, &stream, &packed[i], &outOfMemory))
            continue;
        if (outOfMemory)
            return false;
        stream = PatchStream();
        stream.unpackedSize = stream.packedSize = quint64(streams[i]->size());
        packed[i] = *streams[i];
    }
    *patch = header.encode();
    for (const QByteArray &bytes : packed)
        patch->append(bytes);
    return true;
}
