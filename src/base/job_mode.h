#pragma once

// The kind of job. The values leave the process: the statistics beacon sends them as "type".
enum class JobMode : int { Install = 1, Update = 2, Uninstall = 3 };
