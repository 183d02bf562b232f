#include "app/startup.h"

#include "app/job_guard.h"
#include "app/job_runner.h"
#include "app/replace.h"
#include "base/commands.h"
#include "base/locations.h"
#include "base/running_instances.h"
#include "engine/signed_release.h"
#include "engine/version_catalogue.h"
#include "install/commit.h"
#include "install/registration.h"
#include "platform/library.h"

#include <QFileInfo>

#include <optional>

namespace {

CommandHandler selectReplace(const QStringList &arguments)
{
    return arguments.size() >= 6 && arguments.at(1) == ReplaceCommand ? runReplace : nullptr;
}

// The commit stages a pending launcher only where it installs: under the launcher's own name,
// beside the catalogue cache of that directory. A ".pending" file anywhere else (a downloads
// folder, where a browser may drop any file next to the installer without asking) was put
// there by someone else and is left alone. A build with release keys starts no client beside
// the program unless built to, and so swaps nothing in there either: only in the data
// directory, the one it installs into for itself.
bool isInstallDirectoryLauncher(const QFileInfo &program)
{
    const QDir dir = program.absoluteDir();
    return program.fileName().compare(QLatin1String(install::LauncherFileName), Qt::CaseInsensitive) == 0
        && QFileInfo(dir.filePath(QLatin1String(CatalogueFileName))).isFile()
        && (release::startsClientsBesideProgram() || isDataDirectory(dir));
}

CommandHandler selectPendingSelfReplace(const QStringList &arguments)
{
    // Restarted by a swap that just ran: one try per start is enough, and the mark must not
    // reach the client or what it starts.
    const bool restartedBySwap = platform::isEnvironmentVariableSet(SelfReplaceRestartVariable);
    platform::unsetEnvironmentVariable(SelfReplaceRestartVariable);
    if (restartedBySwap)
        return nullptr;
    const QFileInfo program = programFileInfo();
    if (arguments.size() != 1)
        return nullptr;
    if (!QFileInfo::exists(program.absoluteFilePath() + QLatin1String(install::PendingSuffix)))
        return nullptr;
    if (!isInstallDirectoryLauncher(program))
        return nullptr;
    if (countRunningInstances(program) != 1)
        return nullptr;
    return runSelfReplace;
}

// A client installed flat next to the program: its directory is the version directory.
CommandHandler selectLocalClient(const QStringList &)
{
    if (!release::startsClientsBesideProgram())
        return nullptr;
    VersionEntry entry(programFileInfo().absoluteDir(), nullptr, QString(), QString());
    return entry.loadEntryFunction();
}

// An install or update of the data directory killed after its version had become startable but
// before the product was registered (the uninstall entry is written last) is finished by the
// next start that runs that version; no job would ever come back to it. A job still running
// holds the guard and registers itself.
// The client was found before the guard was asked for: an uninstall may have run to its end in
// between and must not be undone, so the installation is looked for again under the guard.
void finishRegistration(const QDir &dir)
{
    if (!isDataDirectory(dir) || isRegistered())
        return;
    const JobGuard guard = acquireJobGuard(InstallGuardName);
    if (guard.isHeld() && firstInstalledVersion(dir))
        registerProduct(dir);
}

CommandHandler findInstalledClient(const QDir &dir)
{
    const CommandHandler handler = findClientEntry(dir);
    if (handler)
        finishRegistration(dir);
    return handler;
}

// Off in a build with release keys unless built to start it (see startsClientsBesideProgram);
// the data directory's installation is found by the next selector all the same.
CommandHandler selectProgramDirCatalogue(const QStringList &)
{
    if (!release::startsClientsBesideProgram())
        return nullptr;
    return findInstalledClient(programFileInfo().absoluteDir());
}

CommandHandler selectDataDirCatalogue(const QStringList &)
{
    return findInstalledClient(QDir(dataDirectory()));
}

CommandHandler selectUpdate(const QStringList &arguments)
{
    return arguments.size() >= 2 && arguments.at(1) == UpdateCommand ? runUpdateJob : nullptr;
}

CommandHandler selectUninstall(const QStringList &arguments)
{
    return arguments.size() >= 2 && arguments.at(1) == UninstallCommand ? runUninstallJob : nullptr;
}

CommandHandler selectInstall(const QStringList &)
{
    return runInstallJob;
}

int noClientAfterInstall(const char16_t *)
{
    return -1;
}

// The order is the command-line grammar: commands first, then a staged program to swap in,
// then an installed client (flat next to the program, through a catalogue next to it, through
// the data directory's catalogue), and last what runs when nothing else answered. A build with
// release keys skips the two clients beside the program unless it was built to start them.
const HandlerSelector Selectors[] = {
    selectReplace,             // "replace"
    selectUpdate,              // "update"
    selectUninstall,           // "uninstall"
    selectPendingSelfReplace,  // a ".pending" program and no argument
    selectLocalClient,         // a client next to the program
    selectProgramDirCatalogue, // a client listed next to the program
    selectDataDirCatalogue,    // the user's installed client
    selectInstall,             // the installer
};

} // namespace

CommandHandler selectHandler(const QStringList &arguments)
{
    // Started by an install that has just succeeded: finding no client now means the installed
    // one cannot be loaded, and installing again would only start this again, for ever.
    const bool launchedByInstall = platform::isEnvironmentVariableSet(InstallLaunchVariable);
    platform::unsetEnvironmentVariable(InstallLaunchVariable);
    for (HandlerSelector select : Selectors) {
        CommandHandler handler = select(arguments);
        if (!handler)
            continue;
        // A launcher the install could not replace while it ran (Windows) was staged: the swap
        // (a temporary copy running the replace command) restarts it, and the restarted
        // launcher is still the one the install started, so the mark goes on to it.
        if (launchedByInstall && (handler == runSelfReplace || handler == runReplace))
            platform::setEnvironmentVariable(InstallLaunchVariable, QStringLiteral("1"));
        return launchedByInstall && handler == runInstallJob ? noClientAfterInstall : handler;
    }
    return runInstallJob;
}

std::optional<VersionEntry> firstInstalledVersion(const QDir &dir)
{
    VersionCatalogue catalogue(dir);
    if (!catalogue.loadLocalCatalogue())
        return std::nullopt;
    for (VersionEntry entry : catalogue.versions()) {
        if (entry.loadLocalManifest())
            return entry;
    }
    return std::nullopt;
}

CommandHandler findClientEntry(const QDir &dir)
{
    // The first installed version decides, even when its library then fails.
    std::optional<VersionEntry> entry = firstInstalledVersion(dir);
    return entry ? entry->loadEntryFunction() : nullptr;
}
