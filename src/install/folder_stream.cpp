#include "install/folder_stream.h"

#include "install/sdk_support.h"

#include <7zCrc.h>
#include <Bra.h>

#include <algorithm>
#include <cstring>

namespace {

// The method ids of the coders this decoder streams (7-Zip's numbering).
constexpr UInt32 kLzma = 0x30101;
constexpr UInt32 kLzma2 = 0x21;
constexpr UInt32 kX86Filter = 0x3030103;

// How much the coder produces per piece: large enough that a piece costs one write, small
// enough to stay in the processor's cache on its way to the file.
constexpr size_t kPieceSize = 1 << 20;
// The most packed bytes handed to the coder at once (the look-ahead stream gives fewer).
constexpr size_t kInputStep = 1 << 18;
// The x86 filter looks up to four bytes ahead of what it converts.
constexpr size_t kFilterLookAhead = 4;

bool isCoder(UInt32 method)
{
    return method == kLzma || method == kLzma2;
}

// The folder's coder description, parsed from the archive's database; false when it cannot be
// parsed or does not belong to this folder's main stream.
bool parseFolder(const CSzAr &db, UInt32 folder, CSzFolder *shape, const Byte **coderData)
{
    if (folder >= db.NumFolders)
        return false;
    CSzData data;
    data.Data = db.CodersData + db.FoCodersOffsets[folder];
    data.Size = db.FoCodersOffsets[folder + 1] - db.FoCodersOffsets[folder];
    *coderData = data.Data;
    return SzGetNextFolderItem(shape, &data) == SZ_OK && data.Size == 0
        && shape->UnpackStream == db.FoToMainUnpackSizeIndex[folder];
}

// One coder reading the folder's only packed stream, optionally followed by the x86 filter
// whose input is bound to the coder's output: exactly what the whole-folder decoder accepts
// for these methods.
bool hasStreamableShape(const CSzFolder &f)
{
    if (f.NumPackStreams != 1 || f.PackStreams[0] != 0)
        return false;
    const CSzCoderInfo &coder = f.Coders[0];
    if (coder.NumStreams != 1 || !isCoder(coder.MethodID)
        || coder.PropsSize != (coder.MethodID == kLzma2 ? 1 : LZMA_PROPS_SIZE))
        return false;
    if (f.NumCoders == 1)
        return f.NumBonds == 0;
    const CSzCoderInfo &filter = f.Coders[1];
    return f.NumCoders == 2 && filter.MethodID == kX86Filter && filter.NumStreams == 1
        && filter.PropsSize == 0 && f.NumBonds == 1 && f.Bonds[0].InIndex == 1 && f.Bonds[0].OutIndex == 0;
}

} // namespace

bool FolderStream::supports(const CSzArEx &archive, UInt32 folder)
{
    CSzFolder shape;
    const Byte *coderData = nullptr;
    return parseFolder(archive.db, folder, &shape, &coderData) && hasStreamableShape(shape)
        && SzAr_GetFolderUnpackSize(&archive.db, folder) > 0;
}

FolderStream::FolderStream(const CSzArEx &archive, UInt32 folder, ILookInStreamPtr input)
    : m_archive(archive), m_folder(folder), m_input(input)
{
    Lzma2Dec_CONSTRUCT(&m_decoder);
}

FolderStream::~FolderStream()
{
    // The window is ours, not the decoder's: only its probabilities are freed by the SDK.
    Lzma2Dec_FreeProbs(&m_decoder, sdk::allocator());
    ISzAlloc_Free(sdk::allocator(), m_window);
    ISzAlloc_Free(sdk::allocator(), m_filterBuffer);
}

bool FolderStream::fail(SRes result)
{
    m_failed = true;
    m_result = result == SZ_OK ? SZ_ERROR_DATA : result;
    return false;
}

bool FolderStream::start()
{
    m_started = true;
    const CSzAr &db = m_archive.db;
    CSzFolder shape;
    const Byte *coderData = nullptr;
    if (!parseFolder(db, m_folder, &shape, &coderData) || !hasStreamableShape(shape))
        return fail(SZ_ERROR_UNSUPPORTED);
    const CSzCoderInfo &coder = shape.Coders[0];
    m_lzma2 = coder.MethodID == kLzma2;
    m_x86Filter = shape.NumCoders == 2;
    m_unpackSize = SzAr_GetFolderUnpackSize(&db, m_folder);
    const UInt64 *pack = db.PackPositions + db.FoStartPackStreamIndex[m_folder];
    m_packLeft = pack[1] - pack[0];

    const Byte *props = coderData + coder.PropsOffset;
    const SRes allocated = m_lzma2
        ? Lzma2Dec_AllocateProbs(&m_decoder, props[0], sdk::allocator())
        : LzmaDec_AllocateProbs(&m_decoder.decoder, props, coder.PropsSize, sdk::allocator());
    if (allocated != SZ_OK)
        return fail(allocated);
    // A dictionary larger than the folder is never reached back into: the folder's size is
    // enough then, as for the whole-folder decoder.
    const UInt64 window = std::min<UInt64>(m_decoder.decoder.prop.dicSize, m_unpackSize);
    m_windowSize = size_t(window);
    if (m_windowSize != window)
        return fail(SZ_ERROR_MEM);
    m_window = static_cast<unsigned char *>(ISzAlloc_Alloc(sdk::allocator(), m_windowSize));
    if (!m_window)
        return fail(SZ_ERROR_MEM);
    if (m_x86Filter) {
        m_filterBuffer =
            static_cast<unsigned char *>(ISzAlloc_Alloc(sdk::allocator(), kPieceSize + kFilterLookAhead + 1));
        if (!m_filterBuffer)
            return fail(SZ_ERROR_MEM);
        m_filterState = Z7_BRANCH_CONV_ST_X86_STATE_INIT_VAL;
    }
    m_decoder.decoder.dic = m_window;
    m_decoder.decoder.dicBufSize = m_windowSize;
    if (m_lzma2)
        Lzma2Dec_Init(&m_decoder);
    else
        LzmaDec_Init(&m_decoder.decoder);
    m_crc = CRC_INIT_VAL;
    const SRes sought = LookInStream_SeekTo(m_input, m_archive.dataPos + pack[0]);
    return sought == SZ_OK || fail(sought);
}

bool FolderStream::decode(const unsigned char **piece, size_t *produced)
{
    CLzmaDec &lzma = m_decoder.decoder;
    if (lzma.dicPos == m_windowSize)
        lzma.dicPos = 0; // the window is a ring: the coder reaches back across its end
    const size_t from = lzma.dicPos;
    const UInt64 left = m_unpackSize - m_produced;
    size_t limit = std::min(m_windowSize, from + kPieceSize);
    if (limit - from >= left)
        limit = from + size_t(left);
    // Only the piece that reaches the folder's declared end may finish the stream.
    const ELzmaFinishMode mode = limit - from == left ? LZMA_FINISH_END : LZMA_FINISH_ANY;
    while (lzma.dicPos == from) {
        SizeT used = 0;
        ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
        if (!decodeStep(limit, mode, &used, &status))
            return false;
        // No input taken and nothing produced: the packed bytes ended, or the stream ended,
        // before the folder's declared size.
        if (used == 0 && lzma.dicPos == from)
            return fail(SZ_ERROR_DATA);
    }
    *piece = m_window + from;
    *produced = lzma.dicPos - from;
    m_produced += *produced;
    return true;
}

bool FolderStream::decodeStep(SizeT dicLimit, ELzmaFinishMode mode, SizeT *used, ELzmaStatus *status)
{
    const void *input = nullptr;
    size_t available = size_t(std::min<UInt64>(kInputStep, m_packLeft));
    SRes res = ILookInStream_Look(m_input, &input, &available);
    if (res != SZ_OK)
        return fail(res);
    *used = available;
    const Byte *bytes = static_cast<const Byte *>(input);
    res = m_lzma2 ? Lzma2Dec_DecodeToDic(&m_decoder, dicLimit, bytes, used, mode, status)
                  : LzmaDec_DecodeToDic(&m_decoder.decoder, dicLimit, bytes, used, mode, status);
    if (res != SZ_OK)
        return fail(res);
    m_packLeft -= *used;
    res = ILookInStream_Skip(m_input, *used);
    return res == SZ_OK || fail(res);
}

bool FolderStream::finishMainStream()
{
    // The coder has produced the folder's declared size; its stream must end here and use
    // every packed byte. An LZMA stream may end with or without its end mark; LZMA2 always has
    // one. Asking for no further output, the coder reads on only as far as the mark.
    CLzmaDec &lzma = m_decoder.decoder;
    for (;;) {
        SizeT used = 0;
        ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
        if (!decodeStep(lzma.dicPos, LZMA_FINISH_END, &used, &status))
            return false;
        const bool ended = status == LZMA_STATUS_FINISHED_WITH_MARK
            || (!m_lzma2 && status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK);
        if (ended && m_packLeft == 0) {
            m_mainDone = true;
            return true;
        }
        if (status == LZMA_STATUS_FINISHED_WITH_MARK || used == 0)
            return fail(SZ_ERROR_DATA); // packed bytes left over, or the stream goes on
    }
}

bool FolderStream::next(const unsigned char **data, size_t *size)
{
    *data = nullptr;
    *size = 0;
    if (m_failed)
        return false;
    if (m_finished)
        return true;
    if (!m_started && !start())
        return false;
    if (m_x86Filter) {
        if (!nextFiltered(data, size))
            return false;
    } else if (m_produced < m_unpackSize) {
        if (!decode(data, size))
            return false;
    } else if (!finishMainStream()) {
        return false;
    }
    if (*size > 0) {
        m_crc = CrcUpdate(m_crc, *data, *size);
        return true;
    }
    m_finished = true;
    if (SzBitWithVals_Check(&m_archive.db.FolderCRCs, m_folder)
        && CRC_GET_DIGEST(m_crc) != m_archive.db.FolderCRCs.Vals[m_folder])
        return fail(SZ_ERROR_CRC);
    return true;
}

bool FolderStream::nextFiltered(const unsigned char **data, size_t *size)
{
    // What the last call handed out is done with: keep only the bytes it held back.
    std::memmove(m_filterBuffer, m_filterBuffer + m_filterOffset, m_filterHeld);
    m_filterOffset = 0;
    while (m_produced < m_unpackSize) {
        const unsigned char *piece = nullptr;
        size_t produced = 0;
        if (!decode(&piece, &produced))
            return false;
        std::memcpy(m_filterBuffer + m_filterHeld, piece, produced);
        const size_t total = m_filterHeld + produced;
        const size_t converted =
            size_t(z7_BranchConvSt_X86_Dec(m_filterBuffer, total, m_filterPosition, &m_filterState)
                   - m_filterBuffer);
        m_filterHeld = total - converted;
        m_filterOffset = converted;
        if (converted > 0) {
            m_filterPosition += UInt32(converted);
            *data = m_filterBuffer;
            *size = converted;
            return true;
        }
    }
    if (!m_mainDone && !finishMainStream())
        return false;
    // The last few bytes cannot start an instruction the filter changed: they stay as they are.
    *data = m_filterBuffer;
    *size = m_filterHeld;
    m_filterPosition += UInt32(m_filterHeld);
    m_filterHeld = 0;
    return true;
}
