#pragma once

#include <QString>

// The program's command-line words, compared case-sensitively at element 1. Registration and
// uninstallation write them into command lines that start this program again.
inline const QString ReplaceCommand = QStringLiteral("replace");
inline const QString UpdateCommand = QStringLiteral("update");
inline const QString UninstallCommand = QStringLiteral("uninstall");

// In a "replace" group, the source that means "delete the target": two quotation marks, which
// a command line built by buildCommandLine carries as \"\".
inline const QString DeleteMarker = QStringLiteral("\"\"");
