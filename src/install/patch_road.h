#pragma once

#include <QStringList>

class VersionEntry;

// The binary patches of a version on its way in (engine/patch_record.h). Once the manifest is
// accepted, each package that a patch stands in for is looked at before anything is fetched:
//   - when the version directory already holds the file's new content, the package is not
//     needed at all;
//   - otherwise, when an installed copy of the file (in this version's directory or in another
//     installed version's) has the size and SHA-256 of a patch's base, that patch is fetched
//     and checked like a package (MD5, SHA-256, size), applied into the side file the commit
//     takes in (install/commit.h, StagedFiles::stageWritten), and the result's size
//     and SHA-256 checked;
// and the entry is told which packages need no fetching (VersionEntry::setPatchedPackages).
// Whatever goes wrong with one patch (none applies, it cannot be fetched, it does not apply,
// its result is not the file, the disk is full) leaves its package to be fetched and extracted
// as any other: the install goes on as if there were no patch. Patch files leave the package
// store once applied.
//
// One object per attempt to install a version, on the task's thread, living until the commit
// is over: when it ends, the side files no commit took are removed and the entry forgets the
// patched packages.
class PatchRoad {
public:
    explicit PatchRoad(VersionEntry &entry) : m_entry(entry) {}
    ~PatchRoad();
    PatchRoad(const PatchRoad &) = delete;
    PatchRoad &operator=(const PatchRoad &) = delete;

    // Does the above for every package the manifest's patches stand in for. Blocks on transfers;
    // no report.
    void applyPatches();

    // The packages that need no fetching, and of those the ones a patch was applied for.
    const QStringList &readyPackages() const { return m_ready; }
    const QStringList &appliedPackages() const { return m_applied; }

private:
    VersionEntry &m_entry;
    QStringList m_ready;
    QStringList m_applied;
    QStringList m_sideFiles; // absolute paths
};
