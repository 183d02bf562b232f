#pragma once

#include "patch_writer.h"

#include <QByteArray>
#include <QString>

// Makes binary patches (the format of install/binary_patch.h) for the publisher.
//
// The base is suffix-sorted (libdivsufsort); the result is then walked front to back, each
// stretch of it matched to the place in the base it agrees with most, byte by byte, even where
// some bytes differ. The differences of such a stretch go to the diff stream, which stays mostly
// zeros where a rebuilt binary's code only moved (a changed address here and there); what has
// no match goes to the extra stream. Both are then compressed with LZMA.
//
// Memory: about 5 bytes per byte of the base (the base and its suffix array) plus 3 per byte of
// the result, plus about 100 MiB for the compressor. Files of 2 GiB or more are refused.

// What the manifest lists about one patch: the base it applies to, the result it makes and the
// patch file itself, each by SHA-256 and size.
struct MadePatch {
    quint64 baseSize = 0;
    QByteArray baseSha256;
    quint64 resultSize = 0;
    QByteArray resultSha256;
    quint64 patchSize = 0;
    QByteArray patchSha256;
};

// The patch that turns base into result, in patch. Every patch is applied with the client's own
// code (applyPatch) and compared with result before it is returned. The same inputs always give
// the same bytes. Returns false, with error set, when a file is too large, memory runs out or
// the check fails.
bool makePatch(const QByteArray &base, const QByteArray &result, QByteArray *patch, QString *error,
               const PatchPacking &packing = PatchPacking());

// makePatch from the files at basePath and resultPath into a new file at patchPath (replaced when
// it exists), and what the manifest needs to know about them in made. Returns false, with error
// set and no file at patchPath, when a file cannot be read or written or makePatch fails.
bool makePatchFile(const QString &basePath, const QString &resultPath, const QString &patchPath,
                   MadePatch *made, QString *error);

// The unpacked streams makePatch compresses (for measurements).
bool diffFiles(const QByteArray &base, const QByteArray &result, PatchContent *content, QString *error);
