#pragma once

#include <QFileInfo>
#include <QString>

// How many running processes, the caller included, were started from exactly this program
// file's path (the same file, not merely one of the same name), also when that file has since
// been replaced or deleted: a client started before an update is still the product running.
// Processes whose executable cannot be read do not count. A snapshot: processes may start or
// end right after it. 0 when the process list cannot be read.
int countRunningInstances(const QFileInfo &programFile);
