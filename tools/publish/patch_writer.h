#pragma once

#include "install/binary_patch.h"

#include <QByteArray>

// Writes patch files in the format of install/binary_patch.h from their three streams. The
// patch maker fills the streams from a comparison of two files; tests fill them by hand.

// The unpacked streams of a patch.
struct PatchContent {
    QByteArray control;
    QByteArray diff;
    QByteArray extra;

    // Appends one control entry: move the base position by seek, make copy bytes from the base
    // (their diff bytes are the caller's to append to diff) and then extra bytes (to extra).
    void addEntry(qint64 seek, quint64 copy, quint64 extra);
    // Appends one number in the control stream's form (for tests that write their own entries).
    void addNumber(quint64 value);
};

// How each stream is packed.
struct PatchPacking {
    bool compress = true; // LZMA where it makes the stream smaller; otherwise stored
    // The LZMA dictionary of each stream (at most the format's patch::MaxDictionary) and the
    // literal context and position bits.
    quint32 dictionary[patch::StreamCount] = {patch::MaxDictionary[0], patch::MaxDictionary[1],
                                              patch::MaxDictionary[2]};
    int lc = 3;
    int lp = 0;
    int pb = 2;
};

// The whole patch file: the header (sizes and digests as given, the streams' as packed) and the
// streams. The same content and packing always give the same bytes. False only when a stream
// cannot be compressed for want of memory.
bool writePatch(const PatchContent &content, quint64 baseSize, const QByteArray &baseSha256,
                quint64 resultSize, const QByteArray &resultSha256, const PatchPacking &packing,
                QByteArray *patch);
