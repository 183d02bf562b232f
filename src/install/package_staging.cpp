#include "install/package_staging.h"

#include "install/extraction.h"
#include "platform/filesystem.h"

#include <QDir>
#include <QFile>

#include <algorithm>

PackageStaging::PackageStaging(const VersionEntry &entry, const QStringList &installedVersions)
    : m_versionPath(entry.versionDir().absolutePath()), m_installedVersions(installedVersions)
{
    // A package whose file a patch made is not fetched: nothing to extract (the commit takes
    // the file in).
    for (const PackageRecord &package : entry.packages())
        m_packageFiles.append(entry.patchedPackages().contains(package.name()) ? QString()
                                                                               : package.packageFilePath());
    m_states.assign(size_t(m_packageFiles.size()), State::Awaited);
    m_firstFailed = m_states.size();
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
        if (index < 0 || size_t(index) >= m_states.size() || m_states[size_t(index)] != State::Awaited)
            return;
        m_states[size_t(index)] = State::Arrived;
    }
    m_changed.notify_all();
}

int PackageStaging::nextToStage() const
{
    for (size_t index = 0; index < m_firstFailed; ++index) {
        if (m_states[index] == State::Arrived)
            return int(index);
    }
    return -1;
}

bool PackageStaging::stage(int index, StagedFiles *staged)
{
    // The version's directory is made by the first package that is staged into it.
    QDir().mkpath(m_versionPath);
    if (m_packageFiles.at(index).isEmpty())
        return true;
    QFile file(m_packageFiles.at(index));
    staged->setPrecedence(index);
    return file.open(QIODevice::ReadOnly)
        && stageArchive(&file, QDir(m_versionPath), staged, m_installedVersions);
}

void PackageStaging::stageArrived()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        int index = -1;
        m_changed.wait(lock, [&] { return m_stopped || (index = nextToStage()) >= 0; });
        if (m_stopped)
            return;
        lock.unlock();
        const int stagedBefore = m_files.stagedCount();
        const bool staged = stage(index, &m_files);
        m_unflushed = m_unflushed || m_files.stagedCount() != stagedBefore;
        lock.lock();
        m_states[size_t(index)] = staged ? State::Staged : State::Failed;
        if (!staged)
            m_firstFailed = std::min(m_firstFailed, size_t(index));
        m_changed.notify_all();
        // Nothing to extract until the next package is in: what the packages so far wrote (if
        // anything: an update leaves its unchanged files as they are) is flushed now, while the
        // download still runs. The commit's flush, which the user waits for, then finds only the
        // last packages' files (an install's thousands of new directories and names took it a
        // quarter of a second). Once every package is in, the commit flushes at once anyway.
        if (m_unflushed && nextToStage() < 0 && isAnyAwaited()) {
            m_unflushed = false;
            lock.unlock();
            platform::syncFileSystem(m_versionPath);
            lock.lock();
        }
    }
}

bool PackageStaging::isAnyAwaited() const
{
    return std::find(m_states.begin(), m_states.end(), State::Awaited) != m_states.end();
}

bool PackageStaging::waitStaged(int index)
{
    if (size_t(index) >= m_states.size())
        return false;
    if (!m_threaded) {
        // Everything up to index has arrived by now: the commit asks after the downloads.
        for (size_t next = 0; next <= size_t(index) && m_firstFailed == m_states.size(); ++next) {
            if (m_states[next] == State::Staged)
                continue;
            const bool staged = stage(int(next), &m_files);
            m_states[next] = staged ? State::Staged : State::Failed;
            if (!staged)
                m_firstFailed = next;
        }
        return m_states[size_t(index)] == State::Staged;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    const size_t at = size_t(index);
    // A package after one that failed is never staged; neither is anything once stopped.
    m_changed.wait(lock, [&] {
        return m_states[at] == State::Staged || m_states[at] == State::Failed || m_firstFailed < at
            || m_stopped;
    });
    return m_states[at] == State::Staged;
}

StagedFiles PackageStaging::takeStaged()
{
    stop();
    return std::move(m_files);
}
