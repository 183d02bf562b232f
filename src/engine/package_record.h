#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>

#include <atomic>

class InFlightTransfers;
class MirrorRanking;
class QIODevice;
class TransferConnection;
struct TransferLimits;

// The package store's folder in the data directory.
constexpr char PackageStoreDirName[] = "packages";
// A stored package is its version followed by PackageFileSuffix; while it downloads, that
// followed by PartialFileSuffix.
constexpr char PackageFileSuffix[] = ".7z";
constexpr char PartialFileSuffix[] = ".partial";
// Beside a partial file, its name followed by this: what the answer that began it said to
// recognise the same file again (its entity tag, else its date), sent as If-Range when the rest
// is asked for. No tag, no resumption: the bytes might belong to a file the server has no more.
constexpr char ResumeTagSuffix[] = ".tag";
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

    // The size the manifest lists for the package file, -1 when none. Trusted for nothing but
    // the order in which the packages are fetched (the signed size is size()).
    void setListedSize(qint64 size) { m_listedSize = size; }
    qint64 listedSize() const { return m_listedSize; }
    // The size the file is expected to have, for planning its transfer: the signed size, else
    // the listed one; -1 when neither is known.
    qint64 expectedSize() const { return hasSignedContent() ? m_size : m_listedSize; }

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
    // verifyPackage of the whole file at path; false when it cannot be opened for reading.
    bool verifyPackageFile(const QString &path) const;

    // Fetches the package from the two mirrors into packageFilePath() + ".partial" (in the
    // package directory, made here with its parents when missing), digesting the bytes as they
    // arrive, and moves it to packageFilePath() once it is verified whole (MD5; SHA-256 and
    // size when signed). A partial file whose tag (ResumeTagSuffix) is there is continued with
    // a Range request guarded by If-Range: a 200 answer starts it again, a 206 for other bytes
    // or a continued file that fails the check start it again from nothing. A connection cut
    // after some bytes is resumed on the same mirror; a mirror that does not answer, answers
    // wrong bytes or is too slow (TransferLimits) hands the package to the other. False when an
    // old final file cannot be deleted, the partial file cannot be created, neither mirror gave
    // the right bytes, the verified file cannot be moved to its final name, or cancel became
    // true; the partial file is then removed unless a tag vouches for it. Blocks; no report.
    // connection: kept alive for the next package; mirrors: shared by the job's transfers, index
    // this package's place in their order. inFlight (may be null): the job's transfers in flight,
    // where one that has nothing left to start may take over the rest of this one.
    bool downloadPackage(TransferConnection &connection, const TransferLimits &limits, MirrorRanking &mirrors,
                         int index, const std::atomic<bool> *cancel,
                         InFlightTransfers *inFlight = nullptr) const;
    // The same over a connection of its own, with the default limits.
    bool downloadPackage() const;

private:
    QString m_name;
    QString m_version;
    QString m_no;
    QByteArray m_digest;
    QDir m_packageDir;
    QByteArray m_sha256;
    qint64 m_size = -1;
    qint64 m_listedSize = -1;
    bool m_isPatch = false;
};
