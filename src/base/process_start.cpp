#include "base/process_start.h"

#include "base/command_line.h"
#include "base/locations.h"
#include "platform/process.h"

bool startProcess(const QString &commandLine)
{
    return platform::startCommandLine(commandLine, splitCommandLine(commandLine)) > 0;
}

bool relaunchFromTempCopy(const QStringList &arguments)
{
    return platform::startTemporaryCopy(programFileInfo().absoluteFilePath(),
                                        buildCommandLine(QString(), arguments), arguments);
}
