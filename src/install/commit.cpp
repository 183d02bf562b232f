#include "install/commit.h"

#include "engine/status_sink.h"
#include "engine/version_catalogue.h"
#include "install/entry_names.h"
#include "install/extraction.h"
#include "install/package_staging.h"
#include "platform/filesystem.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>

namespace {

// Appended to a file's final name while it is written.
constexpr char kSideSuffix[] = ".korvel-new";
// Appended to a file's final name while its old file makes way for the new one.
constexpr char kAsideSuffix[] = ".korvel-old";

// Beside its target, so the final rename stays on one file system.
constexpr char kCopySuffix[] = ".new";

// Writes the content of source (open for reading; a closed one fails) to side, a new file,
// with the given permissions when there are some, and starts it towards the disk (on systems
// that flush file by file, platform::flushWrittenFile, waits for it). False when anything
// failed; side is then removed.
bool writeBeside(QIODevice &source, const QString &side,
                 const std::optional<QFileDevice::Permissions> &permissions)
{
    QFile::remove(side);
    QFile out(side);
    bool written = source.isReadable() && out.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    constexpr qint64 kChunk = 1 << 16;
    while (written && !source.atEnd()) {
        const QByteArray piece = source.read(kChunk);
        written = !piece.isEmpty() && out.write(piece) == piece.size();
    }
    written = written && out.flush() && platform::flushWrittenFile(out)
        && (!permissions || QFile::setPermissions(side, *permissions));
    out.close();
    if (!written || out.error() != QFileDevice::NoError) {
        QFile::remove(side);
        return false;
    }
    return true;
}

// Replaces target with data without ever exposing half of it: the bytes go to a side name
// beside target and replace target in one rename. The commit's single files are written this
// way rather than through platform::saveFile (QSaveFile): the name itself is replaced, where
// QSaveFile writes through a link planted under it to wherever it points; the side name is
// fixed, so a run cut short leaves one file that the next run replaces, not a new stray file
// each time, and no package may hold it (versionDirectoryFiles). Unlike the staged files
// (SideFile), the target is replaced at once and no old file is kept to put back. Used for the
// manifest: it is written last, and a manifest lost to a power cut only leaves the version to be
// installed again.
bool writeIntoPlace(const QByteArray &data, const QString &target)
{
    QByteArray bytes = data; // shares data; the buffer wants an array it may write
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    const QString side = target + QLatin1String(kCopySuffix);
    if (!writeBeside(buffer, side, std::nullopt))
        return false;
    if (!platform::replaceFile(side, target)) {
        QFile::remove(side);
        return false;
    }
    return true;
}

// Whether a and b are both readable regular files with the same bytes.
bool sameContent(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (!QFileInfo(a).isFile() || !QFileInfo(b).isFile() || first.size() != second.size()
        || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 kChunk = 1 << 16;
    while (!first.atEnd()) {
        const QByteArray piece = first.read(kChunk);
        if (piece.isEmpty() || piece != second.read(kChunk))
            return false;
    }
    return second.atEnd();
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every package is extracted beside the installed files first, and only files that differ
// from what is installed are written at all. Until all of them are there and checked, the
// installed version stays exactly as it was, still startable. With staging, the packages were
// extracted while they arrived, and only their outcome is awaited here. A patched package's file
// is taken as it stands. False after reporting the package that failed, nothing staged left.
bool stagePackages(const QList<PackageRecord> &packages,
                   const QHash<QString, VersionEntry::PatchedFile> &patchedPackages,
                   const QString &versionPath, const QString &version, StatusSink *sink,
                   PackageStaging *staging, StagedFiles *staged)
{
    staged->reservePaths(install::versionDirectoryFiles());
    for (int index = 0; index < packages.size(); ++index) {
        const PackageRecord &package = packages.at(index);
        sink->report(status_reports::CommitStarted, version, package.name());
        const auto patched = patchedPackages.constFind(package.name());
        bool extracted;
        if (staging) {
            // The extractor passes a patched package over; its file joins below.
            extracted = staging->waitStaged(index);
        } else if (patched != patchedPackages.cend()) {
            extracted = !patched->staged || staged->stageWritten(QDir(versionPath), patched->file);
        } else {
            QFile file(package.packageFilePath());
            extracted = file.open(QIODevice::ReadOnly) && stageArchive(&file, QDir(versionPath), staged);
        }
        if (!extracted) {
            // Before the report: it may end the process, and nothing staged may outlive it.
            if (staging)
                staging->packagesAbandoned();
            staged->discard();
            sink->report(status_reports::CommitFailed, version, package.name());
            return false;
        }
    }
    if (!staging)
        return true;
    *staged = staging->takeStaged();
    // The patched files join what the extractor staged only now: it owned the staged files
    // until it stopped. Each takes its package's place, so that a later package holding the
    // same path still wins, as it would in manifest order (its extraction, after the patch was
    // applied, has already replaced the patched side file with its own).
    for (int index = 0; index < packages.size(); ++index) {
        const PackageRecord &package = packages.at(index);
        const auto patched = patchedPackages.constFind(package.name());
        if (patched == patchedPackages.cend() || !patched->staged)
            continue;
        staged->setPrecedence(index);
        if (staged->isDecidedLater(QDir(versionPath).absolutePath() + QLatin1Char('/') + patched->file)
            || staged->stageWritten(QDir(versionPath), patched->file))
            continue;
        staged->discard();
        sink->report(status_reports::CommitFailed, version, package.name());
        return false;
    }
    return true;
}

// Renames the staged files over the installed ones, the old manifest removed first unless it
// stays. False when a file cannot be replaced (nothing changed then) or a rename is refused
// (the files renamed before it are put back, and with them the old manifest).
bool renameStaged(StagedFiles *staged, const QString &versionPath, const QString &manifestPath,
                  bool manifestStays)
{
    // A file held in a way that forbids replacing it (on systems that lock files in use: one
    // a running client has open without sharing; its loaded library is moved aside instead)
    // cannot be replaced: find out before anything changes, rather than undo renames.
    for (const QString &target : staged->targets()) {
        if (!platform::canReplaceFile(target))
            return false;
    }
    // The new files reach the disk before the manifest that vouches for them, so a power
    // cut cannot leave a manifest over empty files.
    if (!platform::syncFileSystem(versionPath))
        return false;
    // From the first rename until a new manifest is written the directory must not count
    // as installed: a crash in between would otherwise leave a mix of two versions that
    // looks complete. A rename refused all the same (a client started meanwhile holds a
    // file) puts back the files renamed before it, and with them the old manifest.
    const bool hadManifest = !manifestStays && QFileInfo::exists(manifestPath);
    const QByteArray oldManifest = hadManifest ? fileContent(manifestPath) : QByteArray();
    if (hadManifest && !QFile::remove(manifestPath))
        return false;
    bool rolledBack = false;
    if (!staged->commit(&rolledBack)) {
        if (hadManifest && rolledBack)
            writeIntoPlace(oldManifest, manifestPath);
        return false;
    }
    return true;
}

// The version's launcher, published in the base directory. The old one is replaced in one
// rename, so the shortcut and the URL protocol never point at nothing; only when that is
// refused does it wait as the pending launcher for the next start. A launcher that is already
// the right one is left alone.
//
// It must not be left empty by a power cut, so it is on the disk before it takes its name. Its
// copy is written beside the old one (under a fixed side name, as the manifest's) and flushed
// before the version's files are renamed into place, while little else waits to be written:
// flushed after them, it waited for the renames' directory entries as well, a quarter as long
// as an update's 5,800 renames themselves.
class LauncherCopy {
public:
    // source: where the version's launcher is until the renames (its staged file, or the one in
    // place in versionDir).
    LauncherCopy(const QString &source, const QDir &versionDir, const QDir &baseDir)
        : m_target(baseDir.absoluteFilePath(QLatin1String(install::LauncherFileName))),
          m_pending(m_target + QLatin1String(install::PendingSuffix)),
          m_side(m_target + QLatin1String(kCopySuffix))
    {
        // Both directories exist: QFileInfo compares what they resolve to (a version's launcher
        // that may not be there yet would compare equal to any other missing file).
        m_needed = QFileInfo(source).isFile()
            && QFileInfo(versionDir.absolutePath()) != QFileInfo(baseDir.absolutePath())
            && !sameContent(source, m_target);
        if (!m_needed)
            return;
        // A launcher staged by an earlier commit is older than this version; left standing, the
        // next start would swap it in.
        m_pendingIsThis = sameContent(source, m_pending);
        QFile in(source);
        in.open(QIODevice::ReadOnly);
        m_written = writeBeside(in, m_side, QFile::permissions(source)) && platform::syncFileSystem(m_side);
    }
    ~LauncherCopy() { QFile::remove(m_side); }
    LauncherCopy(const LauncherCopy &) = delete;
    LauncherCopy &operator=(const LauncherCopy &) = delete;

    void publish()
    {
        if (!m_needed) {
            // Whether or not this version carries a launcher of its own, a staged one is older.
            QFile::remove(m_pending);
            return;
        }
        if (!m_pendingIsThis)
            QFile::remove(m_pending);
        if (m_written && platform::replaceFile(m_side, m_target))
            QFile::remove(m_pending);
        else if (m_written && !m_pendingIsThis)
            platform::replaceFile(m_side, m_pending);
    }

private:
    QString m_target;
    QString m_pending;
    QString m_side;
    bool m_needed = false;
    bool m_pendingIsThis = false;
    bool m_written = false;
};

} // namespace

SideFile::SideFile(const QString &finalPath)
    : m_final(finalPath),
      m_file(finalPath + QLatin1String(kSideSuffix)),
      m_aside(finalPath + QLatin1String(kAsideSuffix))
{
}

SideFile::~SideFile()
{
    discard();
}

bool SideFile::isSideFileName(const QString &part)
{
    return part.endsWith(QLatin1String(kSideSuffix), Qt::CaseInsensitive)
        || part.endsWith(QLatin1String(kAsideSuffix), Qt::CaseInsensitive);
}

QString SideFile::sidePath(const QString &finalPath)
{
    return finalPath + QLatin1String(kSideSuffix);
}

bool SideFile::open()
{
    if (!claimFinalName())
        return false;
    // A side file left by an interrupted run, or a link planted under its name, goes; the
    // new one is created afresh, never opened through a link. So does an old file that an
    // earlier commit could only move aside (one the system held then).
    QFile::remove(m_file.fileName());
    removeAside(m_final);
    return m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
}

bool SideFile::adopt(QFileDevice::Permissions executable)
{
    if (!claimFinalName())
        return false;
    removeAside(m_final);
    const QFileInfo side(m_file.fileName());
    if (side.isSymLink() || !side.isFile())
        return false;
    if (m_keptPermissions) {
        const QFileDevice::Permissions wanted = *m_keptPermissions | executable;
        if ((side.permissions() & install::StoredPermissions) != (wanted & install::StoredPermissions)
            && !QFile::setPermissions(m_file.fileName(), wanted))
            return false;
    }
    m_finished = true;
    return true;
}

bool SideFile::claimFinalName()
{
    if (!platform::isNameTaken(m_final))
        return true;
    const QFileInfo existing(m_final);
    if (existing.isSymLink()) {
        // A link left in the destination by someone else must not carry the write elsewhere.
        if (!QFile::remove(m_final))
            return false;
    } else if (existing.exists()) {
        if (!existing.isFile() || !existing.isWritable())
            return false;
        m_keptPermissions = QFile::permissions(m_final);
    }
    return true;
}

void SideFile::removeAside(const QString &finalPath)
{
    // Whatever file or link has the name goes (a directory cannot); most often there is none.
    QFile::remove(finalPath + QLatin1String(kAsideSuffix));
}

bool SideFile::write(const unsigned char *data, size_t size)
{
    while (size > 0) {
        const qint64 n =
            m_file.write(reinterpret_cast<const char *>(data), qint64(qMin<size_t>(size, 1u << 30)));
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool SideFile::finish(QFileDevice::Permissions executable)
{
    const bool flushed = platform::flushWrittenFile(m_file);
    m_file.close();
    if (!flushed || m_file.error() != QFileDevice::NoError)
        return false;
    const QFileDevice::Permissions permissions =
        m_keptPermissions ? *m_keptPermissions : QFile::permissions(m_file.fileName());
    if ((executable || m_keptPermissions)
        && !QFile::setPermissions(m_file.fileName(), permissions | executable))
        return false;
    m_finished = true;
    return true;
}

bool SideFile::commit()
{
    if (!m_finished)
        return false;
    if (platform::isNameTaken(m_final)) {
        QFile::remove(m_aside);
        if (!platform::moveAside(m_final, m_aside))
            return false;
        m_hasAside = true;
    }
    if (!platform::replaceFile(m_file.fileName(), m_final)) {
        putBack();
        return false;
    }
    m_committed = true;
    return true;
}

bool SideFile::rollBack()
{
    m_committed = false;
    return m_hasAside ? putBack() : QFile::remove(m_final);
}

void SideFile::letGoOfOld()
{
    if (m_hasAside)
        QFile::remove(m_aside);
    m_hasAside = false;
}

void SideFile::discard()
{
    if (m_committed)
        return;
    m_file.close();
    QFile::remove(m_file.fileName());
    m_committed = true; // nothing left to discard
}

bool SideFile::putBack()
{
    m_hasAside = !platform::replaceFile(m_aside, m_final);
    // Where aside is a second name of the file still at the final name, the rename leaves
    // both names.
    if (!m_hasAside)
        QFile::remove(m_aside);
    return !m_hasAside;
}

StagedFiles::StagedFiles() = default;
StagedFiles::~StagedFiles() = default;
StagedFiles::StagedFiles(StagedFiles &&other) noexcept = default;
StagedFiles &StagedFiles::operator=(StagedFiles &&other) noexcept = default;

bool StagedFiles::isEmpty() const
{
    return m_byPath.isEmpty();
}

QString StagedFiles::currentPath(const QString &finalPath) const
{
    return m_byPath.contains(finalPath) ? SideFile::sidePath(finalPath) : finalPath;
}

QStringList StagedFiles::targets() const
{
    QStringList paths;
    for (const std::unique_ptr<SideFile> &file : m_files) {
        if (file)
            paths.append(file->finalPath());
    }
    return paths;
}

void StagedFiles::reservePaths(const QStringList &paths)
{
    for (const QString &path : paths)
        m_reserved.append(path.toCaseFolded());
}

bool StagedFiles::commit(bool *rolledBack)
{
    // Every rename either succeeds or is undone with those before it: a file the system holds
    // after the caller found it replaceable (a client started meanwhile) must not leave a mix of
    // old and new files behind.
    std::vector<SideFile *> done;
    bool committed = true;
    for (std::unique_ptr<SideFile> &file : m_files) {
        if (!file)
            continue;
        if (!file->commit()) {
            committed = false;
            break;
        }
        done.push_back(file.get());
    }
    bool restored = true;
    for (auto it = done.rbegin(); it != done.rend(); ++it) {
        if (!committed)
            restored = (*it)->rollBack() && restored;
        else
            (*it)->letGoOfOld();
    }
    if (rolledBack)
        *rolledBack = !committed && restored;
    discard();
    return committed;
}

void StagedFiles::discard()
{
    m_files.clear();
    m_byPath.clear();
    m_decidedBy.clear();
}

bool StagedFiles::isDecidedLater(const QString &finalPath) const
{
    const auto it = m_decidedBy.constFind(finalPath);
    return it != m_decidedBy.cend() && *it > m_precedence;
}

void StagedFiles::drop(const QString &finalPath)
{
    m_decidedBy.insert(finalPath, m_precedence);
    const auto it = m_byPath.find(finalPath);
    if (it == m_byPath.end())
        return;
    m_files[*it].reset();
    m_byPath.erase(it);
}

void StagedFiles::add(std::unique_ptr<SideFile> file)
{
    drop(file->finalPath());
    m_byPath.insert(file->finalPath(), m_files.size());
    m_files.push_back(std::move(file));
    ++m_stagedCount;
}

bool StagedFiles::stageWritten(const QDir &destination, const QString &relativePath,
                               QFileDevice::Permissions executable)
{
    // The path is checked as an entry's name would be, before anything at it is touched.
    QString path;
    if (!archive::resolveEntryPath(relativePath, &path) || path.isEmpty() || path != relativePath)
        return false;
    const QString folded = path.toCaseFolded();
    for (const QString &reserved : qAsConst(m_reserved)) {
        if (folded == reserved || folded.startsWith(reserved + QLatin1Char('/')))
            return false;
    }
    const auto taken = m_claimed.constFind(folded);
    if (taken != m_claimed.cend() && *taken != path)
        return false;
    auto file = std::make_unique<SideFile>(destination.absolutePath() + QLatin1Char('/') + path);
    if (!file->adopt(executable))
        return false; // the side file goes with it
    m_claimed.insert(folded, path);
    add(std::move(file));
    return true;
}

QStringList install::versionDirectoryFiles()
{
    return {QLatin1String(LocalManifestFileName),
            QLatin1String(LocalManifestFileName) + QLatin1String(kCopySuffix)};
}

bool VersionEntry::commitVersion(PackageStaging *staging)
{
    const QString versionPath = m_versionDir.absolutePath();
    QDir().mkpath(versionPath);
    const QString manifestPath = m_versionDir.absoluteFilePath(QLatin1String(LocalManifestFileName));

    StagedFiles staged;
    if (!stagePackages(m_packages, m_patchedPackages, versionPath, m_version, m_sink, staging, &staged))
        return false;
    // The failures that belong to no one package are told with the last one, so the user
    // always reads why the installation stopped.
    const QString lastPackage = m_packages.isEmpty() ? QString() : m_packages.last().name();
    const auto fail = [&] {
        m_sink->report(status_reports::CommitFailed, m_version, lastPackage);
        return false;
    };

    // A manifest that already holds these bytes vouches for this very content: it stays as it
    // is, also while files it lists are put right.
    const bool manifestStays =
        QFileInfo(manifestPath).isFile() && fileContent(manifestPath) == m_manifestData;
    const QString launcherPath = m_versionDir.absoluteFilePath(QLatin1String(install::LauncherFileName));
    LauncherCopy launcher(staged.currentPath(launcherPath), m_versionDir, m_baseDir);
    if (!staged.isEmpty() && !renameStaged(&staged, versionPath, manifestPath, manifestStays))
        return fail();
    // The launcher before the manifest: once the version counts as installed, a start runs it
    // and nothing publishes the launcher any more.
    launcher.publish();
    if (!manifestStays && !writeIntoPlace(m_manifestData, manifestPath))
        return fail();
    return true;
}
