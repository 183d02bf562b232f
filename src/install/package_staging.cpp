#include "install/package_staging.h"

#include "install/extraction.h"

#include <QDir>
#include <QFile>

PackageStaging::PackageStaging(const VersionEntry &entry, const QStringList &installedVersions)
    : m_versionPath(entry.versionDir().absolutePath()), m_installedVersions(installedVersions)
{
    // A package whose file a patch made is not fetched: nothing to extract (the commit takes
    // the file in).
    for (const PackageRecord &package : entry.packages())
        m_packageFiles.append(entry.patchedPackages().contains(package.name()) ? QString()
                                                                               : package.packageFilePath());
    m_files.reservePaths(install::versionDirectoryFiles());
    m_threaded = m_thread.start([this] { stageArrived(); });
}

PackageStaging::~PackageStaging()
{
    stop();
}

void PackageStaging::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void PackageStaging::packagesAbandoned()
{
    stop();
    m_files.discard();
}

void PackageStaging::packageArrived(int index)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_arrived = std::max(m_arrived, index + 1);
    }
    m_changed.notify_all();
}

bool PackageStaging::stage(int index, StagedFiles *staged)
{
    // The version's directory is made by the first package that is staged into it.
    if (index == 0)
        QDir().mkpath(m_versionPath);
    if (m_packageFiles.at(index).isEmpty())
        return true;
    QFile file(m_packageFiles.at(index));
    return file.open(QIODevice::ReadOnly)
        && stageArchive(&file, QDir(m_versionPath), staged, m_installedVersions);
}

void PackageStaging::stageArrived()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopped || m_staged < m_arrived; });
        if (m_stopped)
            return;
        const int index = m_staged;
        lock.unlock();
        const bool staged = stage(index, &m_files);
        lock.lock();
        if (!staged) {
            m_failed = true;
            m_changed.notify_all();
            return;
        }
        ++m_staged;
        m_changed.notify_all();
    }
}

bool PackageStaging::waitStaged(int index)
{
    if (!m_threaded) {
        // Everything up to index has arrived by now: the commit asks after the downloads.
        while (!m_failed && m_staged <= index) {
            if (!stage(m_staged, &m_files))
                m_failed = true;
            else
                ++m_staged;
        }
        return !m_failed;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_failed || m_staged > index; });
    return m_staged > index;
}

StagedFiles PackageStaging::takeStaged()
{
    stop();
    return std::move(m_files);
}
