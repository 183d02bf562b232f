#include "platform/command_line.h"
#include "platform/entry.h"
#include "platform/process.h"

#include <QString>
#include <QStringList>

int main(int argc, char **argv)
{
    platform::prepareHeap();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // The tail every handler and the client receive: the arguments after the program,
    // quoted the Windows way (the client splits it back with the C runtime's rules).
    const QString tail = platform::buildCommandLine(QString(), arguments.mid(1)).mid(1);
    return runProgram(std::move(arguments), reinterpret_cast<const char16_t *>(tail.utf16()));
}
