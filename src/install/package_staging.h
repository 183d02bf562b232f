#pragma once

#include "engine/version_catalogue.h"
#include "install/commit.h"
#include "platform/process.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <mutex>
#include <vector>

// The extraction of a version's packages while later ones still download: one thread extracts
// each package beside the installed files (stageArchive) as soon as it is in the store, whatever
// its place in the manifest (of those waiting, the first in manifest order), so that the commit
// finds all but the last to arrive staged when it is in. Where two packages hold one path, the
// later one in the manifest wins, whichever was extracted first (StagedFiles::setPrecedence).
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

    // From any thread, in any order: package index is in the store.
    void packageArrived(int index) override;
    // Stops the extraction and removes what it staged: a failure report may end the process
    // before this object goes, and nothing staged may outlive the install that failed.
    void packagesAbandoned() override;

    // Waits until package index has arrived and been extracted; false when it could not be.
    // Asked in manifest order, each after the ones before it were true, so the package that
    // fails first in manifest order is the one that answers false. Without a thread of its own
    // (the system refused one), stages here, in manifest order.
    bool waitStaged(int index);
    // After waitStaged was true for the last package: the staged files (moved out), the
    // thread stopped.
    StagedFiles takeStaged();

private:
    enum class State : char { Awaited, Arrived, Staged, Failed };

    void stop();
    void stageArrived();
    // The first package in manifest order that arrived and waits to be staged, -1 for none.
    // Under m_mutex.
    int nextToStage() const;
    // Whether some package has not arrived yet. Under m_mutex.
    bool isAnyAwaited() const;
    bool stage(int index, StagedFiles *staged);

    QStringList m_packageFiles;
    QString m_versionPath;
    QStringList m_installedVersions;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<State> m_states; // per package, under m_mutex
    // The first package in manifest order that failed (packages after it are not staged any
    // more: the commit stops there), m_states.size() while none did. Under m_mutex.
    size_t m_firstFailed;
    bool m_stopped = false;   // under m_mutex
    StagedFiles m_files;      // the extractor's until it ends
    bool m_unflushed = false; // the extractor's: staged files since its last flush
    bool m_threaded = false;
    platform::JoinedThread m_thread; // last: started once everything above is built
};
