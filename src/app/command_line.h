#pragma once

#include <QString>
#include <QStringList>

// A Windows-style command line: program (may be empty) followed by each argument quoted so
// that the Microsoft C runtime's parsing gives the argument back. With a program part the
// program and the first argument are separated by two blanks; without one the result begins
// with a blank. Slashes in the program become the platform's separator.
QString buildCommandLine(const QString &program, const QStringList &arguments);
