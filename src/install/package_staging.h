#pragma once

#include "engine/version_catalogue.h"
#include "install/commit.h"
#include "platform/process.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <mutex>

// The extraction of a version's packages while later ones still download: one thread extracts
// each package beside the installed files (stageArchive) as soon as it is in the store, in
// manifest order, so that the commit finds most of them staged when the last one arrives.
// Never on a download thread: a connection left idle starts its next transfer slowly. What it
// staged is renamed into place only by the commit (VersionEntry::commitVersion), when every
// package is in; until then nothing installed changes, and whatever is not committed is removed
// when this object goes. Lives on the stack of the task that installs the version.
class PackageStaging : public PackageArrivals {
public:
    // Takes entry's package files (none for a package a patch stands in for: see
    // VersionEntry::patchedPackages) and version directory as they are now. installedVersions:
    // the installed version directories whose unchanged files the extraction may take
    // (stageArchive).
    explicit PackageStaging(const VersionEntry &entry, const QStringList &installedVersions = {});
    ~PackageStaging() override;
    PackageStaging(const PackageStaging &) = delete;
    PackageStaging &operator=(const PackageStaging &) = delete;

    // From downloadPackages' thread, in manifest order: package index is in the store.
    void packageArrived(int index) override;
    // Stops the extraction and removes what it staged: a failure report may end the process
    // before this object goes, and nothing staged may outlive the install that failed.
    void packagesAbandoned() override;

    // Waits until package index (every one before it having arrived and been staged) is
    // staged; false when it or one before it could not be. Without a thread of its own (the
    // system refused one), stages here.
    bool waitStaged(int index);
    // After waitStaged was true for the last package: the staged files (moved out), the
    // thread stopped.
    StagedFiles takeStaged();

private:
    void stop();
    void stageArrived();
    bool stage(int index, StagedFiles *staged);

    QStringList m_packageFiles;
    QString m_versionPath;
    QStringList m_installedVersions;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_arrived = 0;      // under m_mutex
    int m_staged = 0;       // under m_mutex
    bool m_failed = false;  // under m_mutex
    bool m_stopped = false; // under m_mutex
    StagedFiles m_files;    // the extractor's until it ends
    bool m_threaded = false;
    platform::JoinedThread m_thread; // last: started once everything above is built
};
