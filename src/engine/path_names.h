#pragma once

#include <QString>

// What a name from the network or an archive may be before it becomes a path: the one rule for
// versions, package names, the entry file and archive entries, in the program and the publisher.
// Names no Windows file may have are refused on every system, so that a release means the same
// files everywhere: on Windows such a name silently opens a device or another file, and a client
// that took it would report success for a file it never wrote.

// Whether part (one path component) is a name Windows gives another meaning or refuses: a
// character below 32 or one of <>:"|?* (a ':' opens an alternate data stream), a reserved device
// name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9 in any letter case, bare or with an
// extension, as "nul.txt"), or a trailing dot or blank (dropped, so "a." lands on "a").
bool isWindowsReservedName(const QString &part);

// True when name can stand as a single path component below one of our directories on every
// system: not empty, not "." or "..", no "/" or "\\" (a separator on one of our platforms), not
// absolute, and not a name Windows reserves (isWindowsReservedName). Names that come from the
// network (versions, package names) pass this before they become paths.
bool isPlainName(const QString &name);

// A plain name that a URL spells as it is (urlPathSegment leaves it unchanged) and that is not
// hidden (no leading '.', which servers are often set to refuse): the names the publisher gives
// versions and packages, so that the file names of its tree are the URL paths clients ask for.
bool isPublishableName(const QString &name);

// Whether relativePath, relative to some directory, names a place inside it: not absolute, and
// no ".." that leads out of it. The manifest's entry file may lie in a subdirectory of its
// version, but nowhere else.
bool staysInside(const QString &relativePath);

// name as one segment of a URL path: every character that would end the segment or change the
// URL's meaning ("/", "?", "#", "%", blanks, non-ASCII, ...) percent-encoded. Versions and
// package names are placed into URL templates through this.
QString urlPathSegment(const QString &name);
