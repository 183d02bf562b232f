#pragma once

#include <QString>

// Base URLs of the four servers, without a trailing slash: the KORVEL_*_SERVER environment
// variable when set and not empty, otherwise the address compiled in.
namespace servers {

QString catalogue();  // catalogue and manifests (engine/server_layout.h)
QString component();  // first package mirror
QString package();    // second package mirror
QString statistics(); // "/c.gif"

} // namespace servers
