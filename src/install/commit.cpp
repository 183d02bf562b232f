#include "install/commit.h"

#include "engine/status_sink.h"
#include "engine/version_catalogue.h"
#include "install/archive_reader.h"
#include "platform/filesystem.h"

#include <QFile>
#include <QFileInfo>

namespace {

const QString kStartText = QStringLiteral("开始安装");
const QString kFailedText = QStringLiteral("安装失败");
constexpr int kCommitStage = 3;
// Beside its target, so the final rename stays on one file system.
constexpr char kCopySuffix[] = ".new";

// Puts a copy of source at target without ever leaving target half-written: the copy goes to
// a side name first and replaces target in one rename.
bool copyIntoPlace(const QString &source, const QString &target)
{
    const QString side = target + QLatin1String(kCopySuffix);
    QFile::remove(side);
    if (!QFile::copy(source, side))
        return false;
    if (!platform::replaceFile(side, target)) {
        QFile::remove(side);
        return false;
    }
    return true;
}

} // namespace

bool VersionEntry::commitVersion()
{
    const QString versionPath = m_versionDir.absolutePath();
    QDir().mkpath(versionPath);

    // Until the new manifest is written the directory must not count as installed: a crash
    // while files are overwritten would otherwise leave a mix that looks complete.
    const QString manifestPath = m_versionDir.absoluteFilePath(QLatin1String(LocalManifestFileName));
    if (QFileInfo::exists(manifestPath) && !QFile::remove(manifestPath))
        return false;

    for (const PackageRecord &package : qAsConst(m_packages)) {
        m_sink->report(kCommitStage, 0, m_version, package.name(), kStartText);
        QFile file(package.packageFilePath());
        const bool extracted =
            file.open(QIODevice::ReadOnly) && extractArchive(&file, QDir(versionPath));
        file.close();
        if (!extracted) {
            m_sink->report(kCommitStage, 0, m_version, package.name(), kFailedText);
            return false;
        }
    }

    // The extracted files reach the disk before the manifest that vouches for them, so a
    // power cut cannot leave a manifest over empty files.
    if (!platform::syncFileSystem(versionPath))
        return false;

    QFile manifest(manifestPath);
    if (!manifest.open(QIODevice::WriteOnly))
        return false;
    if (manifest.write(m_manifestData) != m_manifestData.size() || !manifest.flush()) {
        manifest.close();
        QFile::remove(manifestPath);
        return false;
    }

    // Publish the launcher. The old one is replaced in one rename, so the shortcut and the URL
    // protocol never point at nothing; only when that is refused does it wait as the pending
    // launcher for the next start.
    const QString source = m_versionDir.absoluteFilePath(QLatin1String(install::LauncherFileName));
    const QString target = m_baseDir.absoluteFilePath(QLatin1String(install::LauncherFileName));
    const QString pending = target + QLatin1String(install::PendingSuffix);
    // A launcher staged by an earlier commit is older than this version, whether or not this
    // version carries a launcher of its own; left standing, the next start would swap it in.
    QFile::remove(pending);
    if (QFileInfo(source).isFile() && QFileInfo(source) != QFileInfo(target)) {
        if (!copyIntoPlace(source, target))
            copyIntoPlace(source, pending);
    }
    return true;
}
