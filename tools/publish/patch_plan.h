#pragma once

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>
#include <QStringList>

class QXmlStreamWriter;
struct PublishRequest;

namespace publish {

struct Listed;
struct Package;

// The binary patches a publication offers beside its packages (engine/patch_record.h has what
// clients read of them): for a file that travels alone in its package, one patch from each
// distinct content the file had in the last published versions straight to its new content
// (never a chain), each made and applied back with the client's own code before it is kept, and
// kept only when it costs less than half its package.

// One patch the manifest lists.
struct PlannedPatch {
    QString file;
    QString package;
    QString no; // the patch's own, "<package no>-from-<16 hex digits of the base's SHA-256>"
    QByteArray md5Hex;
    QByteArray sha256Hex;
    qint64 size = -1;
    QByteArray baseSha256Hex;
    qint64 baseSize = -1;
    QByteArray resultSha256Hex;
    qint64 resultSize = -1;
    QString staged; // the patch waiting in staging to be published; empty when the tree has it
};

// Below this, a package costs too little for a patch to be worth a client's request.
constexpr qint64 MinPatchedPackageSize = 64 * 1024;

// Plans the patches of the request's release, packed as packages says (the files of source):
// for every package that holds one file alone, as it is in the source (a launcher signed on its
// way into its package is not), against the last request.patchDepth versions of listed (the
// catalogue's, newest first) besides the request's own, whose manifests and packages in tree
// tell what the file held there. New patches are made into staging; a patch the tree holds
// already (same base, same result) is listed as it is. Prints what it made. Changes nothing in
// the tree. False, after saying why, only when staging cannot be written or an earlier package
// cannot be read; a patch that cannot be made is left out.
bool planPatches(const PublishRequest &request, const QDir &source, const QDir &tree,
                 const QList<Listed> &listed, const QList<Package> &packages, const QString &staging,
                 QList<PlannedPatch> *patches);

// Puts the staged patches on both mirrors of tree where they are missing; never replaces a
// published file.
bool placePatches(const QDir &tree, const QList<PlannedPatch> &patches);

// The manifest's Patch elements.
void writePatchElements(QXmlStreamWriter *writer, const QList<PlannedPatch> &patches);

} // namespace publish
