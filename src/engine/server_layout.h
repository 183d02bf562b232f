#pragma once

#include <QString>

// Where the servers keep what the program fetches: URL paths below a server's base address
// (engine/servers.h). The publisher writes its tree in the same layout, so both take it from here.
// Names and versions are put in as given: the engine passes them through urlPathSegment, the
// publisher only ever plain names.
namespace server_layout {

// On the catalogue server: the release catalogue.
QString cataloguePath(); // "/bin/versions.xml"
// On the catalogue server: the directory of the manifests, and one version's manifest.
QString manifestDir();                        // "/bin/manifest"
QString manifestPath(const QString &version); // "/bin/manifest/VERSION.xml"
// A package on the first mirror and on the second one (name, and the package's `no`).
QString componentPackagePath(const QString &name, const QString &no); // "/component/N/NO/N_NO.7z"
QString mirrorPackagePath(const QString &name, const QString &no);    // "/N/NO/N_NO.7z"
// A binary patch (engine/patch_record.h) beside the package's files on each mirror (the package's
// name, and the patch's `no`).
QString componentPatchPath(const QString &name, const QString &no); // "/component/N/NO/N_NO.kvpatch"
QString mirrorPatchPath(const QString &name, const QString &no);    // "/N/NO/N_NO.kvpatch"
// The detached signature published beside a signed file.
QString signaturePath(const QString &path); // path + ".minisig"
// Names the layout keeps for itself at the top of a tree ("bin", "component"): a package of that
// name would land among the catalogue or the first mirror on the second mirror.
bool isReservedName(const QString &name);

} // namespace server_layout
