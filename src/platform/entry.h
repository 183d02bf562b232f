#pragma once

#include <QStringList>

// The process's entry point belongs to the system: main on Linux, wWinMain on Windows. Each
// gathers the two forms of the command line and hands them to the program, which defines this
// function (src/app); its result is the exit code.
//
// arguments: the argument vector as the C runtime parsed it, element 0 the program as started.
// commandLineTail: the command line after the program name and the blanks that follow it, as
// a zero-terminated UTF-16 string; on Windows exactly what the system passed, on Linux the
// arguments quoted the Windows way.
int runProgram(QStringList arguments, const char16_t *commandLineTail);
