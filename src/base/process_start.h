#pragma once

#include <QString>
#include <QStringList>

// Starts the program of a Windows-style command line (see splitCommandLine) with the
// arguments written there, the caller's environment and current directory, and does not wait
// for it. The program is a path, or a bare name looked up in PATH. True when the program was
// found and executed; false otherwise (also for an empty program). Nothing is left to reap.
bool startProcess(const QString &commandLine);

// Starts a temporary copy of the running program with arguments: the program file is copied
// into a new, exclusively created directory in the temporary directory (named after the first
// three characters of the program's base name, hexadecimal digits and ".tmp"), made
// executable and started; copy and directory go when the copy no longer needs them (see
// platform::startTemporaryCopy), so nothing stays behind. True when the copy was started;
// false when the temporary copy could not be made or filled, or the start failed.
bool relaunchFromTempCopy(const QStringList &arguments);
