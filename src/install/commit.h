#pragma once

#include "base/product.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// The names the install commit writes in a catalogue's base directory. The launcher reads
// them too (it applies the pending launcher at its next start).
namespace install {

// The launcher, at the root of every version directory and published in the base directory.
constexpr char LauncherFileName[] = KORVEL_PROGRAM_FILE_NAME;
// Appended to the launcher's path: the new launcher waiting to be moved into place.
constexpr char PendingSuffix[] = ".pending";

// The files the commit writes in a version directory itself, beside what the packages hold
// (the manifest, and the name it is written under first), relative to it: no package may hold
// one of them, in any letter case (the commit refuses such a package before anything changes,
// and the publisher refuses to make one).
QStringList versionDirectoryFiles();

// The permissions a file system keeps for a file (owner, group, others), as Qt spells them; its
// "user" bits only say what this process may do, so they take no part where files are compared.
constexpr QFileDevice::Permissions StoredPermissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
    | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
constexpr QFileDevice::Permissions StoredExecutePermissions =
    QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

} // namespace install

// One new file written beside its final name and renamed over it once everything it holds has
// been checked. A program running from the old file (the client, while an update re-extracts its
// version) keeps what it mapped, where truncating and rewriting in place would crash it; and a
// failure never leaves a half-written file under a final name. Unlike a file written and renamed
// at once, it waits, finished, for a commit that renames the files of a whole version as a group
// (StagedFiles) and can put the old ones back. Removes its side file unless committed.
// Nothing here writes into a file under its final name or changes its permissions there: an
// installed file may be another installed version's as well (install/installed_copies.h), and
// must stay as that version has it. Not copied; one thread.
class SideFile {
public:
    explicit SideFile(const QString &finalPath);
    ~SideFile();
    SideFile(const SideFile &) = delete;
    SideFile &operator=(const SideFile &) = delete;

    const QString &finalPath() const { return m_final; }

    // Whether part (one path component) is a name side files are given: an entry of that name
    // would share its file with another entry's, and the second rename would fail after the
    // first had been made. In any letter case.
    static bool isSideFileName(const QString &part);

    // Creates the side file afresh (never through a link). False when the final name is taken
    // by something that must not be replaced: a file we may not write (it keeps its content),
    // or a directory; or when the side file cannot be created.
    bool open();
    // Where a caller writes a file of its own making (a patched file) for adopt: beside
    // finalPath, under the name side files are given.
    static QString sidePath(const QString &finalPath);
    // Takes the file the caller wrote and closed at sidePath(finalPath) as finished, with the
    // permissions of the file it replaces where there is one, plus the given execute bits (as
    // finish); a side file that has them already is not touched, so one that is another name
    // of an installed file (platform::shareFile) never changes that file. False, as open, when
    // the final name must not be replaced, and when the side file is not a regular file.
    bool adopt(QFileDevice::Permissions executable = {});
    // The old file an earlier commit moved aside from finalPath, gone once nothing holds it.
    static void removeAside(const QString &finalPath);
    // Appends size bytes; false when they did not all reach the file.
    bool write(const unsigned char *data, size_t size);
    // Flushes and closes the side file and gives it the permissions of the file it replaces
    // plus the given execute bits. False when the data did not all reach the file system.
    bool finish(QFileDevice::Permissions executable);
    // Renames the finished side file over the final name, keeping the old file (when there is
    // one) aside until let go or put back. A file the system holds in use (Windows: a loaded
    // library) is moved aside rather than replaced, which it allows. False, with the final name
    // as it was, when either rename is refused.
    bool commit();
    // After commit: the old file back under the final name (none when there was none), and the
    // new one gone. False when the system holds the new file meanwhile.
    bool rollBack();
    // After commit: the old file goes (where the system still holds it, it stays aside until a
    // later extraction of its name finds it free).
    void letGoOfOld();
    // Before commit: the side file goes. Nothing after commit.
    void discard();

private:
    // What open and adopt check of the final name: a link there goes, a file keeps its
    // permissions; false for a directory or a file we may not write.
    bool claimFinalName();
    bool putBack();

    QString m_final;
    QFile m_file;
    QString m_aside;
    std::optional<QFileDevice::Permissions> m_keptPermissions;
    bool m_finished = false;
    bool m_committed = false;
    bool m_hasAside = false;
};

// Files that extractions have written beside their final names, each checked in full, waiting
// to be renamed into place together; whatever is not renamed is removed when this ends. Of two
// extractions into one destination the later one wins, file by file, as when each had been
// extracted straight into place. Move-only; one thread.
class StagedFiles {
public:
    StagedFiles();
    ~StagedFiles();
    StagedFiles(StagedFiles &&other) noexcept;
    StagedFiles &operator=(StagedFiles &&other) noexcept;
    StagedFiles(const StagedFiles &) = delete;
    StagedFiles &operator=(const StagedFiles &) = delete;

    // Paths relative to the extractions' destination that no entry may take or lie below, in
    // any letter case: files the caller writes there itself. Set before the first extraction.
    void reservePaths(const QStringList &paths);

    bool isEmpty() const;
    // How many files were staged so far, those a later one replaced included: it grows with
    // every file written or shared beside its final name.
    int stagedCount() const { return m_stagedCount; }
    // The final paths the renames will replace (or create), in the order they were staged.
    QStringList targets() const;
    // Where the file that will have finalPath is until the renames: beside it when staged.
    QString currentPath(const QString &finalPath) const;
    // Renames every waiting file over its final name, in order, each old file kept aside
    // (platform::moveAside) until all are done, then removed (where the system still holds one,
    // it stays aside until a later extraction of its name). False at the first rename that is
    // refused: the files renamed before it are put back as they were (their old files, or none),
    // the rest removed, and *rolledBack (when given) says whether all could be put back (a file
    // the system took hold of meanwhile cannot).
    bool commit(bool *rolledBack = nullptr);
    // Removes every waiting file.
    void discard();

    // Takes in the file the caller wrote and closed at SideFile::sidePath(destination /
    // relativePath) (a patched file) as if an extraction had staged it for that path:
    // relativePath gets the checks of an entry's name (archive::resolveEntryPath, already
    // resolved; not reserved; not another staged file's spelling in another letter case).
    // False when it fails them (nothing is touched then), or when the final name holds
    // something that must not be replaced or the side file is not a regular file (the side
    // file is then removed). executable as for SideFile::adopt.
    bool stageWritten(const QDir &destination, const QString &relativePath,
                      QFileDevice::Permissions executable = {});

    // The place of the package whose extraction follows, for extractions that do not run in
    // the order of their packages (each package extracted as it arrives): what a path holds is
    // still decided by the package that comes last, as if they had run in order. Of two
    // extractions with one place (the default, 0), the later one decides.
    void setPrecedence(int place) { m_precedence = place; }
    // Whether an extraction of a later place already decided what finalPath holds (staged a
    // file for it or left the file there in place): the extractions that follow leave it be,
    // side file included.
    bool isDecidedLater(const QString &finalPath) const;

    // For the extraction that fills it (stageArchive), once isDecidedLater was false. A finished
    // file waits for commit; what was staged for its final path before goes.
    void add(std::unique_ptr<SideFile> file);
    // Whatever was staged for finalPath goes: a later entry of that path decides what it holds.
    void drop(const QString &finalPath);
    // The reserved paths, case folded.
    const QStringList &reservedPaths() const { return m_reserved; }
    // The paths the file entries of the extractions so far took, case folded, with their
    // spelling (archive::checkEntries keeps them).
    QHash<QString, QString> *claimedPaths() { return &m_claimed; }

private:
    // In staging order; a file replaced by a later stage of its path leaves a null behind.
    std::vector<std::unique_ptr<SideFile>> m_files;
    QHash<QString, size_t> m_byPath;
    // The place of the extraction that last decided each final path, staged or left in place.
    QHash<QString, int> m_decidedBy;
    int m_precedence = 0;
    QStringList m_reserved;
    QHash<QString, QString> m_claimed;
    int m_stagedCount = 0;
};

// VersionEntry::commitVersion() is declared in engine/version_catalogue.h and defined in
// commit.cpp.
