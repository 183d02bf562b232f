#pragma once

#include <QString>
#include <QStringList>

// Windows' command-line rules, in one place for every system: the Windows process start hands
// these lines to the system as they stand, and elsewhere they are split here first.
namespace platform {

// A Windows-style command line: program (may be empty) followed by each argument quoted so
// that the Microsoft C runtime's parsing gives the argument back. With a program part the
// program and the first argument are separated by two blanks; without one the result begins
// with a blank. Slashes in the program become the platform's separator.
QString buildCommandLine(const QString &program, const QStringList &arguments);

// The inverse: the arguments that the Microsoft C runtime reads from text that follows the
// program name (blanks and tabs separate; 2n backslashes before a quotation mark give n and
// the mark opens or closes a quoted span, 2n+1 give n and a literal mark; "" inside a quoted
// span is a literal mark; other backslashes are literal). Splitting what buildCommandLine
// made of a list gives that list back.
QStringList splitArguments(const QString &text);

// A whole command line: the program name by the runtime's rule for it (up to the first blank
// or tab outside quotation marks, the marks themselves dropped, backslashes literal), then
// splitArguments of the rest. Element 0 is the program; the list is empty for empty text.
QStringList splitCommandLine(const QString &commandLine);

} // namespace platform
