#pragma once

class QSettings;

// QSettings keeps its file (an INI file on this system) under a lock file beside it, which a
// writer creates and at once fills with its process id. A writer killed between the two leaves
// the lock empty, and Qt then waits until it is 30 s old before taking it over: the next
// registration, uninstallation or machine id would freeze that long. Removes such a lock, one
// that is still empty after a short wait (up to 100 ms); leaves any other alone. Does nothing
// where settings have no lock file (the Windows registry). Call before writing through settings.
void removeAbandonedLock(const QSettings &settings);
