#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QDir;
struct PublishRequest;

// The programs the publisher runs: 7zz packs the packages, osslsigncode signs the launcher.
namespace publish {

// Packs paths (relative to sourceDir, in the order given) into a new 7z archive at archive with
// fixed switches, so that the same files give the same bytes. False, after saying why, when 7zz
// cannot be run or fails.
bool makeArchive(const QString &sourceDir, const QStringList &paths, const QString &archive);

// What besides the files decides an archive's bytes: the 7zz version's banner and the
// switches. Asks 7zz once per run.
QByteArray archiverIdentity();

// The package's paths laid out in staging as in the source, with the launcher signed with
// Authenticode (the request's certificate and key). False after saying why.
bool stageSignedPackage(const PublishRequest &request, const QDir &source, const QStringList &paths,
                        const QString &staging);

} // namespace publish
