// The command-line splitter on any text, and the round trip through the builder: the arguments
// (the input's NUL-separated pieces) come back exactly from the line built of them.
#include "fuzz_support.h"

#include "platform/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    platform::splitCommandLine(QString::fromUtf8(bytes));

    QStringList arguments;
    for (const QByteArray &piece : bytes.split('\0'))
        arguments.append(QString::fromUtf8(piece));
    if (platform::splitArguments(platform::buildCommandLine(QString(), arguments)) != arguments)
        fuzzFailure("split(build(list)) != list");
    return 0;
}
