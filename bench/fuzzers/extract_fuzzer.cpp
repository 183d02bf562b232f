// A package as the install extracts it, into a fresh directory each time. Nothing may land
// outside that directory: its parent must hold nothing else afterwards.
#include "fuzz_support.h"

#include "install/extraction.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir root;
    const QDir outer(root.path() + QStringLiteral("/outer"));
    const QString destination = outer.absoluteFilePath(QStringLiteral("version"));
    QDir().mkpath(destination);

    QByteArray bytes = fuzzBytes(data, size);
    QBuffer archive(&bytes);
    archive.open(QIODevice::ReadOnly);
    extractArchive(&archive, QDir(destination));

    const QStringList outside =
        QDir(root.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QStringList beside =
        outer.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (outside != QStringList{QStringLiteral("outer")} || beside != QStringList{QStringLiteral("version")})
        fuzzFailure("extraction wrote outside its destination");
    QDir(destination).removeRecursively();
    return 0;
}
