#include "app/startup.h"

#include "app/locations.h"
#include "app/replace.h"
#include "app/running_instances.h"

#include <QFileInfo>

#include <cstdio>

namespace {

const QString ReplaceCommand = QStringLiteral("replace");

CommandHandler selectReplace(const QStringList &arguments)
{
    return arguments.size() >= 6 && arguments.at(1) == ReplaceCommand ? runReplace : nullptr;
}

CommandHandler selectPendingSelfReplace(const QStringList &arguments)
{
    const QFileInfo program = programFileInfo();
    if (arguments.size() != 1)
        return nullptr;
    if (!QFileInfo::exists(program.absoluteFilePath() + QLatin1String(PendingSuffix)))
        return nullptr;
    if (countRunningInstances(program) != 1)
        return nullptr;
    return runSelfReplace;
}

// Stands last until the install job exists: a start that found no client says so and fails.
int reportNoClient(const char16_t *)
{
    std::fputs("Korvel: no installed client found\n", stderr);
    return -1;
}

CommandHandler selectNoClient(const QStringList &)
{
    return reportNoClient;
}

// The order is the command-line grammar: commands first, then a staged program to swap in,
// then an installed client (flat next to the program, through a catalogue next to it, through
// the data directory's catalogue), and last what runs when nothing else answered.
const HandlerSelector Selectors[] = {
    selectReplace,            // "replace"
                              // "update"
                              // "uninstall"
    selectPendingSelfReplace, // a ".pending" program and no argument
    selectNoClient,           // the installer
};

} // namespace

CommandHandler selectHandler(const QStringList &arguments)
{
    for (HandlerSelector select : Selectors) {
        if (CommandHandler handler = select(arguments))
            return handler;
    }
    return reportNoClient;
}
