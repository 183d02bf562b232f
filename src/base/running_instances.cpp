#include "base/running_instances.h"

#include "platform/process.h"

namespace {

// QFileInfo's equality takes two missing files for one (both canonical paths are empty), and a
// process started from a file that was deleted since must match by the path alone.
bool isSameFile(const QFileInfo &a, const QFileInfo &b)
{
    return a.absoluteFilePath() == b.absoluteFilePath() || (a.exists() && b.exists() && a == b);
}

} // namespace

int countRunningInstances(const QFileInfo &programFile)
{
    const QString name = programFile.fileName();
    int count = 0;
    for (const QString &path : platform::runningExecutables()) {
        const QFileInfo running(path);
        // The cheap name test first; the path comparison settles it.
        if (running.fileName().compare(name, Qt::CaseInsensitive) == 0 && isSameFile(running, programFile))
            ++count;
    }
    return count;
}
