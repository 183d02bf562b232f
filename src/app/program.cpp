#include "platform/entry.h"

#include "app/startup.h"

int runProgram(QStringList arguments, const char16_t *commandLineTail)
{
    const CommandHandler handler = selectHandler(arguments);
    // The argument list only serves the selectors; the handler sees the tail alone.
    arguments.clear();
    return handler(commandLineTail);
}
