#include "base/command_line.h"
#include "app/startup.h"

#include <QString>
#include <QStringList>

int main(int argc, char **argv)
{
    QString tail;
    CommandHandler handler;
    {
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments.append(QString::fromLocal8Bit(argv[i]));
        // The tail every handler and the client receive: the arguments after the program,
        // quoted the Windows way (the client splits it back with the C runtime's rules).
        tail = buildCommandLine(QString(), arguments.mid(1)).mid(1);
        handler = selectHandler(arguments);
    }
    return handler(reinterpret_cast<const char16_t *>(tail.utf16()));
}
