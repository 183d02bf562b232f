#pragma once

#include <QList>
#include <QString>

// Processes the program under test started on its own (a launched client, the temporary copy
// that finishes an uninstall): the test did not start them, but it knows where their program
// files live, so it finds them through /proc.

// The ids of the live processes whose program file lies below dir (also when that file has
// been deleted since). Zombies are not counted.
QList<qint64> processesRunningFrom(const QString &dir);

// Waits until no process runs from below dir; false after milliseconds.
bool waitForNoProcessesFrom(const QString &dir, int milliseconds = 10000);

// Waits until the process with this id has ended (or is a zombie); false after milliseconds.
bool waitForProcessEnd(qint64 pid, int milliseconds = 10000);

// Kills (SIGKILL, by id) every process that runs from below dir. Returns how many there were.
int killProcessesFrom(const QString &dir);
