#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>

// The running program's file (absolute, Qt form).
QFileInfo programFileInfo();

// The per-user product directory: the roaming application-data folder followed by
// "/ostrel/korvel", in Qt form. Not created here.
QString dataDirectory();

// Whether dir is the data directory, however either is spelled: the program's own directory
// comes with links resolved, the data directory as the environment names it. Compared by
// canonical paths; when either does not exist, by their cleaned absolute forms; both the way
// the system compares paths (on Windows: any letter case, short 8.3 names).
bool isDataDirectory(const QDir &dir);
