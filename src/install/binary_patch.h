#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>

class QIODevice;

// Binary patches: what turns one exact file (the base, an installed file) into another (the
// result, its new version), so that an update fetches what changed rather than the whole file.
// The publisher makes them (tools/publish/patch_maker.h); this module reads and applies them.
//
// The patch file format, version 1. Servers keep these files and clients of every later version
// must still read them, so the layout below never changes; a change gets a new version number.
// All integers are little-endian and unsigned unless said otherwise.
//
//   offset  size  field
//   0       8     magic: the bytes "KVPATCH" followed by 0x1A
//   8       4     format version: 1
//   12      4     flags: 0
//   16      8     base size in bytes
//   24      8     result size in bytes
//   32      32    SHA-256 of the base
//   64      32    SHA-256 of the result
//   96      72    three stream descriptors of 24 bytes each, in the order control, diff, extra:
//                   +0   8  packed size: the stream's bytes in this file
//                   +8   8  unpacked size
//                   +16  1  method: 0 stored (the packed bytes are the stream), 1 LZMA
//                   +17  5  for LZMA, its properties: the lc/lp/pb byte, then the dictionary size
//                           (4 bytes); zeros for a stored stream
//                   +22  2  zeros
//   168           the packed bytes of the control, diff and extra streams, back to back in that
//                 order; the file ends where the extra stream does.
//
// A stored stream's packed size equals its unpacked size. An LZMA stream is raw LZMA data as the
// LZMA SDK's encoder writes it after its properties: no header and no end marker. It unpacks to
// exactly its unpacked size and uses exactly its packed bytes. Its lc + lp is at most 4, as in
// LZMA2. Its dictionary is counted as the smaller of the declared size and the unpacked size
// (at least 4 KiB), and at most 1 MiB for the control stream and 8 MiB for the diff and the extra
// stream: that is what bounds a reader's memory. A stream of unpacked size 0 is stored.
//
// The control stream is a sequence of entries, each three numbers in LEB128 (seven bits a byte,
// the low groups first, the high bit set on every byte but the last; the shortest form, at most
// 2^63 - 1):
//   seek   the distance, zigzag-coded (0, -1, 1, -2, ... as 0, 1, 2, 3, ...), by which the base
//          position moves before this entry; it starts at 0 and must stay within the base (its
//          end included)
//   copy   that many bytes of the result are the base's bytes at the base position, each plus
//          (modulo 256) the next byte of the diff stream; the base position moves past them,
//          which must lie within the base
//   extra  then that many bytes of the result are the next bytes of the extra stream
// Every entry makes at least one byte (copy + extra > 0); the entries make exactly the result,
// and the three streams are used up exactly: the diff stream holds the sum of the copies, the
// extra stream the sum of the extras, and the result size is the sum of the two.
//
// The result's SHA-256 equals the header's. (Making a patch with a suffix sort of the base, as
// the publisher does, leaves the diff stream mostly zeros where a rebuilt binary only moved, and
// the extra stream holding what is new: both compress well.)
namespace patch {

constexpr char Magic[8] = {'K', 'V', 'P', 'A', 'T', 'C', 'H', '\x1a'};
constexpr quint32 FormatVersion = 1;
constexpr int HeaderSize = 168;
constexpr int StreamCount = 3;
enum Stream { ControlStream = 0, DiffStream = 1, ExtraStream = 2 };
enum class Method : quint8 { Stored = 0, Lzma = 1 };
constexpr int LzmaPropertiesSize = 5;
// The largest dictionary of each stream, in the order above: the reader's memory.
constexpr quint32 MaxDictionary[StreamCount] = {1u << 20, 8u << 20, 8u << 20};
constexpr quint32 MinDictionary = 4096;
// The longest LEB128 number of the control stream.
constexpr int MaxNumberBytes = 9;

} // namespace patch

struct PatchStream {
    quint64 packedSize = 0;
    quint64 unpackedSize = 0;
    patch::Method method = patch::Method::Stored;
    std::array<unsigned char, patch::LzmaPropertiesSize> lzmaProperties{};
};

// What a patch's header declares.
struct PatchHeader {
    quint64 baseSize = 0;
    quint64 resultSize = 0;
    QByteArray baseSha256;   // 32 bytes
    QByteArray resultSha256; // 32 bytes
    std::array<PatchStream, patch::StreamCount> streams;

    // The header's patch::HeaderSize bytes. The digests are written as given, cut or padded
    // with zeros to 32 bytes.
    QByteArray encode() const;
    // The size of the whole patch file the header describes; 0 when it overflows.
    quint64 patchSize() const;
};

enum class PatchStatus {
    Applied,            // the result was written in full and its SHA-256 is the header's
    NotAPatch,          // no patch magic at the start
    UnsupportedVersion, // a format version or flags this reader does not know
    Malformed,          // the patch breaks a rule of the format, or its LZMA data is corrupt
    BaseMismatch,       // the base's size is not the one the patch was made from
    ResultMismatch,     // the result was written but its SHA-256 is not the header's: the base
                        // had other bytes of the same size
    ReadFailed,         // reading the patch or the base failed, or either is not random-access
    WriteFailed,        // the result device took fewer bytes than given (a full disk)
    OutOfMemory,        // a decoder's memory could not be allocated
};

// A short English name of the status, for logs.
const char *patchStatusName(PatchStatus status);

// Reads and checks the header at the start of patch, a random-access device open for reading
// (its position moves). Returns Applied when the header is well formed and agrees with the
// device's size and with the limits above (header then holds it); otherwise NotAPatch,
// UnsupportedVersion, Malformed or ReadFailed, and header is left unspecified.
PatchStatus readPatchHeader(QIODevice *patch, PatchHeader *header);

// Applies patch to base, writing the result to result. patch and base must be random-access
// devices open for reading, result a device open for writing; none is closed. The result is
// written in order, from its first byte to its last, through fixed buffers; the base is read
// where the patch says. Memory stays within the streams' dictionaries (at most 17 MiB) plus
// about 1 MiB, whatever the files' sizes.
//
// The caller is expected to have checked the patch's and the base's SHA-256 and sizes against
// what it trusts before, and to check the result's after; this function is nonetheless safe on
// any bytes: it bounds every length and position, never reads outside the two inputs' declared
// sizes, never writes more than the header's result size, and returns a status rather than
// crashing on anything malformed. Anything but Applied may leave part of a result written; the
// caller discards it. When resultSha256 is given it receives the SHA-256 of the bytes written
// (on Applied: the header's), so that the caller need not read the result again.
// Safe to call from any thread, on devices that thread owns.
PatchStatus applyPatch(QIODevice *patch, QIODevice *base, QIODevice *result,
                       QByteArray *resultSha256 = nullptr);
