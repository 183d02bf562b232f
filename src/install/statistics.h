#pragma once

#include <QString>

// The machine id: a GUID in braces ("{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case) kept
// under "MachineUuid" in the settings of organisation "ostrel", application "kv". Created on
// first use and kept for good (uninstallation leaves it). A value found only through QSettings'
// fallbacks (organisation-wide or system-wide settings) is used as it is and nothing is written.
// Returns what the settings hold, an empty string when the id could not be stored.
QString machineId();
