#pragma once

#include "base/product.h"

#include <QStringList>

// The names the install commit writes in a catalogue's base directory. The launcher reads
// them too (it applies the pending launcher at its next start).
namespace install {

// The launcher, at the root of every version directory and published in the base directory.
constexpr char LauncherFileName[] = KORVEL_PROGRAM_FILE_NAME;
// Appended to the launcher's path: the new launcher waiting to be moved into place.
constexpr char PendingSuffix[] = ".pending";

// The files the commit writes in a version directory itself, beside what the packages hold
// (the manifest, and the name it is written under first), relative to it: no package may hold
// one of them, in any letter case (the commit refuses such a package before anything changes,
// and the publisher refuses to make one).
QStringList versionDirectoryFiles();

} // namespace install

// VersionEntry::commitVersion() is declared in engine/version_catalogue.h and defined in
// commit.cpp.
