#pragma once

#include <7z.h>
#include <Lzma2Dec.h>

#include <cstddef>

// Decodes one folder of an open 7z archive as a stream, piece by piece, for the folders that
// are a single LZMA or LZMA2 coder, alone or behind the x86 branch filter (BCJ): the shapes
// 7-Zip gives nearly every folder. Memory is the coder's dictionary (never more than the
// folder's size) plus a fixed buffer, however large the folder is; other shapes need the
// whole-folder decoder (SzAr_DecodeFolder) instead.
//
// The checks are the whole-folder decoder's: the stream must end exactly at the folder's
// declared size, its packed bytes must all be used, and the folder's CRC, when the archive
// stores one, must match once the last piece has been produced.
//
// Not copied; one thread; the archive and its input stream outlive this object.
class FolderStream {
public:
    // Whether folder has one of the shapes above (no allocation, no input read).
    static bool supports(const CSzArEx &archive, UInt32 folder);

    FolderStream(const CSzArEx &archive, UInt32 folder, ILookInStreamPtr input);
    ~FolderStream();
    FolderStream(const FolderStream &) = delete;
    FolderStream &operator=(const FolderStream &) = delete;

    // The next piece of the folder's unpacked bytes, in order: *data points into this object
    // and stays valid until the next call; *size is 0 once the whole folder has been produced
    // and checked. False (and no more pieces) when the folder is unsupported, its decoder or
    // window cannot be allocated, the input cannot be read, or the stream is corrupt, cut
    // short, too long or fails the folder's CRC; result() then says why (SDK code).
    bool next(const unsigned char **data, size_t *size);

    int result() const { return m_result; }

private:
    bool start();
    bool fail(SRes result);
    // Decodes the main coder's next bytes into the window: *produced of them, at *piece.
    bool decode(const unsigned char **piece, size_t *produced);
    // One call of the coder on the packed bytes at hand, decoding up to dicLimit of the window;
    // the bytes it took are consumed. *used says how many. False when reading or decoding failed.
    bool decodeStep(SizeT dicLimit, ELzmaFinishMode mode, SizeT *used, ELzmaStatus *status);
    bool finishMainStream();
    bool nextFiltered(const unsigned char **data, size_t *size);

    const CSzArEx &m_archive;
    UInt32 m_folder;
    ILookInStreamPtr m_input;
    bool m_started = false;
    bool m_failed = false;
    bool m_mainDone = false; // the coder's stream ended and was checked
    bool m_finished = false; // the last piece was handed out and the CRC checked
    int m_result = 0;

    bool m_lzma2 = false;
    bool m_x86Filter = false;
    CLzma2Dec m_decoder; // plain LZMA uses its inner decoder
    unsigned char *m_window = nullptr;
    size_t m_windowSize = 0;
    UInt64 m_unpackSize = 0; // of the folder
    UInt64 m_produced = 0;   // by the coder so far
    UInt64 m_packLeft = 0;   // packed bytes not yet consumed
    UInt32 m_crc = 0;        // of the pieces handed out

    // The x86 filter converts a copy (the window must keep the coder's own bytes); up to four
    // bytes at its end wait for the next piece to see whether they start an instruction.
    unsigned char *m_filterBuffer = nullptr;
    size_t m_filterHeld = 0; // bytes not converted yet, at m_filterOffset
    size_t m_filterOffset = 0;
    UInt32 m_filterPosition = 0;
    UInt32 m_filterState = 0;
};
