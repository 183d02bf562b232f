#pragma once

#include "base/command_handler.h"
#include "engine/package_record.h"
#include "engine/patch_record.h"
#include "engine/transfer_limits.h"

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>

class PackageStaging;
class ConnectionsAhead;
class TransferConnection;
class QIODevice;
class StatusSink;

// Told of each package of a version once its file is in the store, verified, while others still
// arrive: in any order, on the download threads of VersionEntry::downloadPackages.
class PackageArrivals {
public:
    virtual ~PackageArrivals() = default;
    virtual void packageArrived(int index) = 0;
    // A package cannot be had: the version will not be installed. Called before that failure
    // is reported, since the report may end the process.
    virtual void packagesAbandoned() {}
};

// Names of the files in a catalogue's base directory and in a version directory.
constexpr char CatalogueFileName[] = "versions.xml";     // cached catalogue with its tag line
constexpr char LocalManifestFileName[] = "manifest.xml"; // written last when a version commits
// A build with release keys keeps the catalogue's signature beside the cache.
constexpr char CatalogueSignatureFileName[] = "versions.xml.minisig";

// One listed version: its directory under the catalogue's base directory and, once its manifest
// is read, its packages and entry point. Copyable; lives on the stack of the task that uses it.
// All operations run on the caller's thread and report (where they do) to sink() on it.
class VersionEntry {
public:
    // versionDir is baseDir / version (baseDir itself when version is empty); nothing is created.
    // prefetch counts only when it is exactly "true". A null sink selects one that does nothing.
    VersionEntry(const QDir &baseDir, StatusSink *sink, const QString &version, const QString &prefetch);

    const QDir &baseDir() const { return m_baseDir; }
    const QDir &versionDir() const { return m_versionDir; }
    StatusSink *sink() const { return m_sink; } // never null
    const QString &version() const { return m_version; }
    bool isPrefetch() const { return m_prefetch; }
    // The exact bytes of the last accepted manifest (empty before one was accepted).
    const QByteArray &manifestData() const { return m_manifestData; }
    const QList<PackageRecord> &packages() const { return m_packages; }
    const QString &entryFile() const { return m_entryFile; } // relative to versionDir
    const QString &entryFunction() const { return m_entryFunction; }
    // The binary patches the manifest offers, in document order; only those that replace a
    // package the manifest lists.
    const QList<PatchRecord> &patches() const { return m_patches; }

    // A package whose one file stands ready without it (install/patch_road.h): a patch was
    // applied into the side file the commit takes it from, or the version directory holds
    // this version's file already.
    struct PatchedFile {
        QString file; // relative to versionDir
        bool staged;  // waits as a side file (install/commit.h); otherwise it is in place
    };
    // downloadPackages does not fetch these packages, and commitVersion takes their file as
    // it stands instead of extracting them. Keyed by package name. Cleared by parseManifest.
    void setPatchedPackages(const QHash<QString, PatchedFile> &patched) { m_patchedPackages = patched; }
    const QHash<QString, PatchedFile> &patchedPackages() const { return m_patchedPackages; }

    // What a signed catalogue says of this version's manifest: its SHA-256 (32 bytes) and size
    // in bytes. A build with release keys accepts no other manifest for this version.
    void setSignedManifest(const QByteArray &sha256, qint64 size);

    // Downloads this version's manifest from the catalogue server and parses it. Reports stage 1:
    // code 0 "开始下载清单" first; code -1 "下载清单错误" and false for any result but 200 (the
    // entry is unchanged); code -2 "清单解释错误" and false when parseManifest refuses the body,
    // or, in a build with release keys, when it is not the manifest the signed catalogue names
    // (its SHA-256 and size, see setSignedManifest; none named: none accepted), its signature is
    // missing or does not hold for this version, or a package lacks its SHA-256 and size.
    bool fetchManifest();

    // Reads a manifest: one PackageRecord per Package element that has name, version, no and
    // hash (others are dropped), one PatchRecord per usable Patch element that names one of
    // those packages (others are dropped), and file and function of the last Entry element.
    // Accepted (true) when both are non-empty: the packages, patches, entry file, entry
    // function and data (as manifestData) then replace whatever an earlier parse left.
    // Refused as a whole, the entry unchanged, when the entry is incomplete or a Package or
    // Patch names a name, version, no or file that is not plain (isPlainName: it would lead out
    // of our directories, or name a device or another file on Windows). Creates nothing on
    // disk. No report.
    bool parseManifest(const QByteArray &data);

    // Parses versionDir / "manifest.xml" and checks that the entry file is there. False when the
    // directory, the file or the entry file is missing or the manifest is refused. No network,
    // no report.
    bool loadLocalManifest();

    // Makes sure every package's file is in the package store with the right digest, reusing a
    // verified file and downloading any other (PackageRecord::downloadPackage), a few at once
    // (TransferLimits::concurrentTransfers; one of them over the connection the manifest came
    // over, large packages in pieces sized by what the job fetches), the largest first (by the
    // sizes the manifest lists),
    // the others in manifest order. Reports stage 2 code 0 "开始下载" for each package in
    // manifest order as its turn comes; for the first package in that order that cannot be had,
    // code -1 "下载错误" and false once the transfers still running have stopped (other packages
    // may have been fetched meanwhile, but are not reported). True with no packages. arrivals
    // (when given) hears of each package in place, as it comes.
    // A package of patchedPackages() is reported and not fetched.
    bool downloadPackages(PackageArrivals *arrivals = nullptr);

    // Fetches a file the manifest lists beside its packages (a patch) into the package store as
    // PackageRecord::downloadPackage does, over the connection the manifest came over: it follows
    // on a live connection rather than setting up one of its own (a round trip and a slow start
    // more before the packages can start).
    bool downloadAfterManifest(const PackageRecord &file);

    // The limits of this entry's transfers (the manifest's with their small-file deadline).
    const TransferLimits &transferLimits() const { return m_limits; }
    void setTransferLimits(const TransferLimits &limits) { m_limits = limits; }
    // The connection for its manifest and signature (never null): its catalogue's.
    void setConnection(std::shared_ptr<TransferConnection> connection)
    {
        m_connection = std::move(connection);
    }

    // Extracts the packages into versionDir, writes manifest.xml and publishes the launcher
    // (defined with the install step, in install/commit.cpp). staging: the extractions that
    // began while the packages arrived (install/package_staging.h), taken over; null: each
    // package is extracted here. A patched package's file is taken as it stands.
    bool commitVersion(PackageStaging *staging = nullptr);
    // Loads the entry file and returns its entry function, or null (defined with
    // the install step, in install/entry_function.cpp).
    CommandHandler loadEntryFunction();

private:
    // A build with release keys: whether body is validly signed for this version's path, and
    // whether every package has the SHA-256 and size that such a build requires.
    bool acceptSigned(const QString &path, const QByteArray &body) const;
    bool hasSignedPackages() const;
    // Starts setting up the connections of the transfers after the manifest while it comes
    // (defined with the downloads, in engine/package_download.cpp).
    void connectAhead();

    QDir m_baseDir;
    QDir m_versionDir;
    StatusSink *m_sink;
    QString m_version;
    bool m_prefetch;
    QByteArray m_manifestData;
    QList<PackageRecord> m_packages;
    QList<PatchRecord> m_patches;
    QHash<QString, PatchedFile> m_patchedPackages;
    QString m_entryFile;
    QString m_entryFunction;
    QByteArray m_manifestSha256;
    qint64 m_manifestSize = -1;
    TransferLimits m_limits;
    // The connection its manifest and signature are fetched over: its catalogue's, so that
    // they follow the catalogue on a live connection rather than each setting up one of its
    // own (a connection and a slow start more per file). Copies of an entry share it; used on
    // one thread at a time. Never null.
    std::shared_ptr<TransferConnection> m_connection;
    // The connections set up while its manifest came, until its packages are in. Copies of an
    // entry share them.
    std::shared_ptr<ConnectionsAhead> m_ahead;
};

// The list of installable versions, in the order of preference, cached with its entity tag in
// baseDir / "versions.xml". Lives for one task, on that task's thread. Not copied (entries and
// the task share its sink).
class VersionCatalogue {
public:
    // baseDir: the data directory for an install, the program's own directory for an update or
    // an uninstall. A null sink selects one that does nothing; a given sink must outlive this.
    explicit VersionCatalogue(const QDir &baseDir, StatusSink *sink = nullptr);
    VersionCatalogue(const VersionCatalogue &) = delete;
    VersionCatalogue &operator=(const VersionCatalogue &) = delete;

    const QDir &baseDir() const { return m_baseDir; }
    StatusSink *sink() const { return m_sink; } // never null
    // The entries of the last parse, in document order.
    const QList<VersionEntry> &versions() const { return m_versions; }

    // Refreshes the cache from the catalogue server with a conditional GET and parses it; true
    // when at least one version is listed. Creates baseDir when missing (false, no report, when
    // that fails). Reports stage 1: code 0 "检查版本" first; code -2 "打开版本文件失败" when
    // the cache file cannot be opened, or a new catalogue cannot be stored (the old cache then
    // stays and nothing is parsed); code -1 "检查版本失败" for any result but 200 or 304 (the
    // cache is then neither changed nor used). A 200 rewrites the cache (tag line when the answer
    // had an "ETag", then the body); a 304 parses the cache as it is.
    bool checkVersions();

    // A build with release keys accepts a catalogue only with a valid signature whose sequence
    // is at least the floor given for its signing key (the highest one that key signed and was
    // accepted before, by key id as release::keyIdText gives it; the caller keeps them) and the
    // compiled-in minimum: anything else, from the server or in the cache, fails as a check the
    // server did not answer (code -1 "检查版本失败", the cache unchanged). Floors are kept per
    // key so that a sequence signed in error or by a stolen key binds that key alone, and the
    // next key starts afresh. After checkVersions accepted a catalogue: its sequence and its
    // key's id; -1 and empty before (and always without keys).
    void setSequenceFloors(const QMap<QByteArray, qint64> &floors) { m_sequenceFloors = floors; }
    qint64 acceptedSequence() const { return m_acceptedSequence; }

    // The limits of every transfer of this catalogue and of the entries it lists (the catalogue
    // and signatures with their small-file deadline); set before checkVersions.
    void setTransferLimits(const TransferLimits &limits) { m_limits = limits; }
    const QByteArray &acceptedKeyId() const { return m_acceptedKeyId; }

    // Parses the cached file without network access or report; false when it cannot be opened or
    // lists no usable version.
    bool loadLocalCatalogue();

    // Replaces versions with the Version elements read from file (open for reading, from its
    // start), skipping a leading "If-None-Match: " line. A Version without a version attribute,
    // or whose version is not a plain name (isPlainName: it would lead out of baseDir, or name a
    // device or another file on Windows), is skipped.
    // In a build with release keys, a Version's manifestSha256 and manifestSize (the digest and
    // size of its manifest, which the signed catalogue binds) go to setSignedManifest.
    // True when at least one version is listed.
    bool parseCatalogue(QIODevice &file);

    // Tries the prefetch entries, then the first entry, each through manifest, packages and
    // commit; true when one of them was installed, registering the product when baseDir is the
    // data directory (defined with the job runner, in app/job_runner.cpp). installedVersions:
    // the directories of installed versions whose unchanged files the commit may take.
    bool installBestVersion(const QStringList &installedVersions = {});

private:
    QDir m_baseDir;
    bool acceptSigned(const QByteArray &body, const QByteArray &signature);
    // Fetches the catalogue's signature, accepts body with it and keeps it beside the cache.
    bool fetchAndKeepSignature(const QByteArray &body, const QString &signaturePath);

    QList<VersionEntry> m_versions;
    StatusSink *m_sink;
    QMap<QByteArray, qint64> m_sequenceFloors;
    qint64 m_acceptedSequence = -1;
    QByteArray m_acceptedKeyId;
    TransferLimits m_limits;
    // Its catalogue's and signature's, kept alive for its entries' files. Never null.
    std::shared_ptr<TransferConnection> m_connection;
};
