#include "base/process_start.h"

#include "base/locations.h"
#include "platform/command_line.h"
#include "platform/process.h"

bool startProcess(const QString &commandLine)
{
    return platform::startCommandLine(commandLine) > 0;
}

bool relaunchFromTempCopy(const QStringList &arguments)
{
    return platform::startTemporaryCopy(programFileInfo().absoluteFilePath(),
                                        platform::buildCommandLine(QString(), arguments));
}
