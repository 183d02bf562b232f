#include "app/job_runner.h"

#include "app/job_guard.h"
#include "app/startup.h"
#include "base/locations.h"
#include "engine/http_transfer.h"
#include "engine/servers.h"
#include "engine/signed_release.h"
#include "engine/version_catalogue.h"
#include "install/package_staging.h"
#include "install/patch_road.h"
#include "install/registration.h"
#include "install/statistics.h"
#include "install/uninstall.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/window_system.h"
#include "ui/progress_window.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <memory>
#include <optional>

const char *const InstallLaunchVariable = "KORVEL_INSTALL_LAUNCH";

namespace {

constexpr int FinishedPauseMs = 1000;

// Shown instead of running a job from an elevated token (see platform::runsElevatedAboveItsUser).
const char16_t elevatedText[] =
    u"Korvel只为当前用户安装，不能以管理员身份运行。请直接启动Korvel，不要选择“以管理员身份运行”。";

// Passes reports on and remembers whether one of them was a failure the window turned into
// an error box; that box ends the job, so the worker must not end it a second time. A failure
// shown as a status (the commit's) leaves the ending to the worker.
class ErrorBoxWatch final : public StatusSink {
public:
    explicit ErrorBoxWatch(StatusSink *target) : m_target(target) {}
    void report(ReportStage stage, ReportCode code, const QString &version, const QString &package,
                const QString &text) override
    {
        if (code != ReportCode::ShownAsStatus)
            m_errorBoxShown = true;
        m_target->report(stage, code, version, package, text);
    }
    bool errorBoxShown() const { return m_errorBoxShown; }

private:
    StatusSink *m_target;
    bool m_errorBoxShown = false;
};

QDir programDirectory()
{
    return QDir(programFileInfo().absolutePath());
}

// The directory a job of mode installs, updates or removes.
QDir jobDirectory(JobMode mode)
{
    return mode == JobMode::Install ? QDir(dataDirectory()) : programDirectory();
}

bool runTask(ProgressWindow *window, JobMode mode, bool *errorBoxShown)
{
    switch (mode) {
    case JobMode::Install: {
        ErrorBoxWatch watch(window);
        const bool result = installTask(&watch);
        *errorBoxShown = watch.errorBoxShown();
        return result;
    }
    case JobMode::Update:
        return updateTask();
    case JobMode::Uninstall:
        return uninstallTask();
    }
    return false;
}

// Whether a job of mode may run from an elevated token. The token is the user's own elevated
// self ("run as administrator") or another account's (a standard user who typed an
// administrator's password), and its data directory is that account's: an install would land
// there, out of the user's reach. An update of the program's own directory stays where the
// user's installation is when that directory is the token's account's data directory, so it
// goes on; anywhere else it could be another account's installation, and is refused.
bool mayRunElevated(JobMode mode)
{
    return mode == JobMode::Update && isDataDirectory(programDirectory());
}

} // namespace

int runJob(JobMode mode)
{
    // Refused before anything is taken or written. The update runs unseen and says nothing.
    if (platform::runsElevatedAboveItsUser() && !mayRunElevated(mode)) {
        if (mode != JobMode::Update) {
            if (const std::unique_ptr<platform::WindowSystem> system = platform::openWindowSystem())
                system->messageBox(0, QString::fromUtf16(elevatedText));
        }
        return -1;
    }
    // The worker is never awaited: when an error box ends the job it may still be inside a
    // transfer or a commit, and will post to the window when it gets out. So neither the guard
    // nor the window nor the window system is released here; they stay until the process
    // ends, which the job's handlers make happen right after this returns. Another job can
    // therefore never start while this one's worker still writes.
    auto *guard = new JobGuard(acquireJobGuard(InstallGuardName));
    if (!guard->isHeld()) {
        delete guard;
        return -1;
    }
    // Every job but the uninstall begins with the catalogue.
    prepareTransfers(mode == JobMode::Uninstall ? QString() : servers::catalogue());
    platform::WindowSystem *system = platform::openWindowSystem().release();
    if (!system)
        return -1;
    auto *window = new ProgressWindow(*system, mode, jobWorker);
    if (!window->post(std::make_unique<StartMessage>()))
        return -1;
    return system->runLoop();
}

// Ends the process with the job's code at once rather than running static destructors (Qt's,
// libcurl's) under a worker that may still be running.
[[noreturn]] static void endJob(JobMode mode)
{
    platform::exitProcessNow(runJob(mode));
}

int runInstallJob(const char16_t *)
{
    // Set now, while this is the only thread: the launcher started after the install is the
    // only process this job starts, and it inherits the mark.
    platform::setEnvironmentVariable(InstallLaunchVariable, QStringLiteral("1"));
    endJob(JobMode::Install);
}

int runUpdateJob(const char16_t *)
{
    endJob(JobMode::Update);
}
int runUninstallJob(const char16_t *)
{
    endJob(JobMode::Uninstall);
}

void jobWorker(ProgressWindow *window)
{
    const JobMode mode = static_cast<JobMode>(window->mode());
    bool errorBoxShown = false;
    const bool result = runTask(window, mode, &errorBoxShown);
    window->post(std::make_unique<FinishedMessage>(result));
    // The beacon goes out while the finished bar shows, rather than holding up the bar and
    // the client by its round trips; the client still starts only after it.
    QElapsedTimer pause;
    pause.start();
    sendStatistics(mode, result);
    // The size the list of programs shows is measured only now: the old versions are gone, and
    // the walk over every installed file holds up neither the bar nor the client.
    const QDir baseDir = jobDirectory(mode);
    if (result && mode != JobMode::Uninstall && isDataDirectory(baseDir))
        recordInstalledSize(baseDir);
    platform::sleepMilliseconds(int(FinishedPauseMs - pause.elapsed()));
    if (result)
        window->post(std::make_unique<QuitMessage>(0));
    else if (!errorBoxShown)
        // A task that failed without telling the user (an empty catalogue, a failed commit)
        // would otherwise leave a window with no way to end it.
        window->post(std::make_unique<QuitMessage>(-1));
}

namespace {

// The lowest sequence each key may sign now. The one number that programs before kept for all
// keys belongs to the key that signed the catalogue they accepted last, the one cached here.
QMap<QByteArray, qint64> sequenceFloors(const QDir &baseDir)
{
    QMap<QByteArray, qint64> floors = acceptedReleaseSequences();
    const qint64 legacy = legacyReleaseSequence();
    if (legacy > 0) {
        QFile cached(baseDir.filePath(QLatin1String(CatalogueSignatureFileName)));
        const QByteArray keyId = cached.open(QIODevice::ReadOnly)
            ? release::signingKeyId(cached.read(release::MaxSignatureFileBytes + 1))
            : QByteArray();
        if (!keyId.isEmpty() && !floors.contains(keyId))
            floors.insert(keyId, legacy);
    }
    return floors;
}

// The catalogue check, no older than the newest catalogue its key signed that was accepted
// before; a newer one accepted now is kept at once, whatever becomes of the install.
bool checkCatalogue(VersionCatalogue &catalogue)
{
    if (release::isSigning())
        catalogue.setSequenceFloors(sequenceFloors(catalogue.baseDir()));
    const bool checked = catalogue.checkVersions();
    storeReleaseSequence(catalogue.acceptedKeyId(), catalogue.acceptedSequence());
    return checked;
}

// The version a plain start runs from baseDir: the first installed one its cached catalogue
// lists (empty when none).
QString startedVersion(const QDir &baseDir)
{
    const std::optional<VersionEntry> entry = firstInstalledVersion(baseDir);
    return entry ? entry->version() : QString();
}

// The versions the cached catalogue in baseDir lists (none when there is none).
QStringList cachedVersions(const QDir &baseDir)
{
    VersionCatalogue cached(baseDir);
    cached.loadLocalCatalogue();
    QStringList versions;
    for (const VersionEntry &entry : cached.versions())
        versions.append(entry.version());
    return versions;
}

// Checks the catalogue and installs the best version; once that succeeded, the versions and
// packages no longer needed go (only in the data directory).
bool installAndTidy(VersionCatalogue &catalogue)
{
    const QString before = startedVersion(catalogue.baseDir());
    const QStringList listedBefore = cachedVersions(catalogue.baseDir());
    if (!checkCatalogue(catalogue))
        return false;
    QStringList listed = listedBefore;
    for (const VersionEntry &entry : catalogue.versions())
        listed.append(entry.version());
    if (!catalogue.installBestVersion(installedVersionDirectories(catalogue.baseDir(), before, listed)))
        return false;
    removeOldVersions(catalogue, startedVersion(catalogue.baseDir()), before, listedBefore);
    return true;
}

} // namespace

bool installTask(StatusSink *sink)
{
    VersionCatalogue catalogue(jobDirectory(JobMode::Install), sink);
    return installAndTidy(catalogue);
}

bool updateTask()
{
    VersionCatalogue catalogue(jobDirectory(JobMode::Update));
    installAndTidy(catalogue);
    return true;
}

bool uninstallTask()
{
    return uninstallProduct(jobDirectory(JobMode::Uninstall));
}

bool installVersion(VersionEntry &entry, const QStringList &installedVersions)
{
    if (!entry.fetchManifest())
        return false;
    // A file that a patch makes from an installed copy is not fetched in its package; each
    // other package is extracted beside the installed files while the later ones download,
    // taking the files an installed version holds unchanged from there.
    PatchRoad patches(entry);
    patches.applyPatches();
    PackageStaging staging(entry, installedVersions);
    return entry.downloadPackages(&staging) && entry.commitVersion(&staging);
}

bool VersionCatalogue::installBestVersion(const QStringList &installedVersions)
{
    // The catalogue's order is the order of preference; prefetch entries are tried first.
    bool installed = false;
    for (VersionEntry &entry : m_versions) {
        if (entry.isPrefetch() && installVersion(entry, installedVersions)) {
            installed = true;
            break;
        }
    }
    if (!installed) {
        if (m_versions.isEmpty() || !installVersion(m_versions.first(), installedVersions))
            return false;
    }
    // Only the installation in the data directory is the system's; a copy of the program
    // that updates itself elsewhere leaves the registration alone.
    if (isDataDirectory(m_baseDir))
        return registerProduct(m_baseDir, InstalledSize::Later);
    return true;
}
