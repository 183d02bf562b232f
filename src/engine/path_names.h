#pragma once

#include <QString>

// True when name can stand as a single path component below one of our directories: not empty,
// not "." or "..", no "/" or "\\" (a separator on one of our platforms), not absolute.
// Names that come from the network (versions, package names) pass this before they become paths.
bool isPlainName(const QString &name);

// name as one segment of a URL path: every character that would end the segment or change the
// URL's meaning ("/", "?", "#", "%", blanks, non-ASCII, ...) percent-encoded. Versions and
// package names are placed into URL templates through this.
QString urlPathSegment(const QString &name);
