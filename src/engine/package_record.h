#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>

class QIODevice;

// The package store's folder in the data directory.
constexpr char PackageStoreDirName[] = "packages";
// A stored package is its version followed by PackageFileSuffix; while it downloads, that
// followed by PartialFileSuffix.
constexpr char PackageFileSuffix[] = ".7z";
constexpr char PartialFileSuffix[] = ".partial";
// A binary patch (engine/patch_record.h) is stored beside its package's files as its `no`
// followed by PatchFileSuffix, under the name the mirrors give it.
constexpr char PatchFileSuffix[] = ".kvpatch";

// One package of a version: where its file lives in the package store and how to fetch and
// check it. The store is dataDirectory() + "/packages/" + name, shared by the versions of one
// package name; the file is version + ".7z" in it, and ".partial" after that while it downloads.
class PackageRecord {
public:
    // Stores the fields (digest: hash decoded from hex, either letter case, other characters
    // skipped). Creates nothing: the package directory is made by the first download. name and
    // version must pass isPlainName (the manifest parser refuses the whole manifest otherwise).
    PackageRecord(const QString &name, const QString &version, const QString &no, const QString &hash);

    const QString &name() const { return m_name; }
    const QString &version() const { return m_version; }
    const QString &no() const { return m_no; }            // the URL's second argument
    const QByteArray &digest() const { return m_digest; } // expected MD5, 16 bytes when well formed
    const QDir &packageDir() const { return m_packageDir; }

    // What a signed manifest says of the package file besides its MD5 (a build with release
    // keys requires both): its SHA-256 (32 bytes) and its size. Once set, the file must match
    // them too, and a download stops at that size.
    void setSignedContent(const QByteArray &sha256, qint64 size);
    bool hasSignedContent() const { return m_size >= 0; }
    const QByteArray &sha256() const { return m_sha256; }
    qint64 size() const { return m_size; } // -1 when not set

    // The record stands for a binary patch published beside the package's files rather than
    // for a package: its file ends in PatchFileSuffix, in the store and on the mirrors.
    void markAsPatch() { m_isPatch = true; }
    bool isPatch() const { return m_isPatch; }

    // packageDir / version + ".7z" (a patch: + PatchFileSuffix): the verified file.
    QString packageFilePath() const;
    // Whether fileName is one the store gives a package's or a patch's file (verified or
    // partial); every other file in a package directory is not the store's.
    static bool isStoreFileName(const QString &fileName);

    // True when the MD5 of file's bytes from its current position to its end equals digest.
    // A device that is not open for reading digests as empty. Reads 64 KiB at a time.
    bool verifyPackage(QIODevice &file) const;

    // Fetches the package from the two mirrors in order into packageFilePath() + ".partial" (a
    // new file for each attempt, in the package directory, made here with its parents when
    // missing), digesting the bytes as they arrive, and moves it to packageFilePath() once its
    // digest matched. False when an old final file cannot be deleted, the partial file cannot
    // be created, no mirror gave 200 with the right bytes, or the verified file cannot be moved
    // to its final name; the partial file is then removed. Blocks; no report (the caller
    // reports).
    bool downloadPackage() const;

private:
    QString m_name;
    QString m_version;
    QString m_no;
    QByteArray m_digest;
    QDir m_packageDir;
    QByteArray m_sha256;
    qint64 m_size = -1;
    bool m_isPatch = false;
};
