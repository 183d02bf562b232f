#pragma once

#include <QString>

// Processes: what the program needs of the operating system to know itself and start others.
namespace platform {

// Absolute path of the running executable; on Linux /proc/self/exe resolved.
// Empty when the system cannot tell.
QString executablePath();

} // namespace platform
