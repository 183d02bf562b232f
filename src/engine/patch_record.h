#pragma once

#include "engine/package_record.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QXmlStreamAttributes;

// One binary patch a manifest offers: the file (in the format of install/binary_patch.h) that
// turns one exact earlier content of a version's file into its content in this version, so a
// client holding that earlier content fetches the patch instead of the package that holds the
// file. The manifest element, beside the Package elements that older programs still install
// from (they ignore it):
//
//   <Patch file="lib/libclient.so" package="libclient.so" no="3-from-0123456789abcdef"
//          hash="MD5 hex" sha256="hex" size="N"
//          baseSha256="hex" baseSize="N" resultSha256="hex" resultSize="N"/>
//
// file: the path in the version directory, '/'-separated; package: the manifest's package that
// holds that file and nothing else, which the patch replaces; no: names the patch file on the
// mirrors and in the package store (beside that package's files); hash, sha256 and size: the
// patch file's MD5, SHA-256 and size, checked before it is applied; base and result: the file's
// content before and after, by SHA-256 and size.
class PatchRecord {
public:
    enum class Reading {
        Usable,     // every attribute is there and well formed
        Incomplete, // an attribute is missing, empty or malformed: the element is dropped
        Unsafe,     // a name or path that would lead out of our directories: the whole manifest
                    // is refused, as for a Package with such a name
    };

    // Reads a Patch element's attributes; *patch holds the record when Usable.
    static Reading read(const QXmlStreamAttributes &attributes, std::optional<PatchRecord> *patch);

    const QString &file() const { return m_file; }
    const QString &package() const { return m_package; }
    // The patch file as the package store and the mirrors keep it, fetched and checked (MD5,
    // SHA-256 and size) as a package is.
    const PackageRecord &patchFile() const { return m_patchFile; }
    const QByteArray &baseSha256() const { return m_baseSha256; }
    qint64 baseSize() const { return m_baseSize; }
    const QByteArray &resultSha256() const { return m_resultSha256; }
    qint64 resultSize() const { return m_resultSize; }

private:
    PatchRecord(const QString &file, const QString &package, const PackageRecord &patchFile)
        : m_file(file), m_package(package), m_patchFile(patchFile)
    {
    }

    QString m_file;
    QString m_package;
    PackageRecord m_patchFile;
    QByteArray m_baseSha256;
    qint64 m_baseSize = -1;
    QByteArray m_resultSha256;
    qint64 m_resultSize = -1;
};

// Whether path can stand as a file's path below one of our directories: '/'-separated
// components that each pass isPlainName, none empty.
bool isPlainRelativePath(const QString &path);
