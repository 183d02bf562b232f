#pragma once

#include <QFileInfo>
#include <QString>

// The running program's file (absolute, Qt form).
QFileInfo programFileInfo();

// The per-user product directory: the roaming application-data folder followed by
// "/ostrel/korvel", in Qt form. Not created here.
QString dataDirectory();
