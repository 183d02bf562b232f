#pragma once

#include <QFileInfo>
#include <QString>

// How many running processes, the caller included, execute exactly this program file (the
// same file, not merely one of the same name). Processes whose executable cannot be read or
// was deleted or replaced since they started do not count. A snapshot: processes may start or
// end right after it. 0 when the process list cannot be read.
int countRunningInstances(const QFileInfo &programFile);
