#pragma once

#include "base/product.h"

// The names the install commit writes in a catalogue's base directory. The launcher reads
// them too (it applies the pending launcher at its next start).
namespace install {

// The launcher, at the root of every version directory and published in the base directory.
constexpr char LauncherFileName[] = KORVEL_PROGRAM_FILE_NAME;
// Appended to the launcher's path: the new launcher waiting to be moved into place.
constexpr char PendingSuffix[] = ".pending";

} // namespace install

// VersionEntry::commitVersion() is declared in engine/version_catalogue.h and defined in
// commit.cpp.
