#include "base/running_instances.h"

#include "platform/process.h"

int countRunningInstances(const QFileInfo &programFile)
{
    const QString name = programFile.fileName();
    int count = 0;
    for (const QString &path : platform::runningExecutables()) {
        const QFileInfo running(path);
        // The cheap name test first; the path comparison settles it.
        if (running.fileName().compare(name, Qt::CaseInsensitive) == 0 && running == programFile)
            ++count;
    }
    return count;
}
