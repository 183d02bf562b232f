// The cached catalogue as read at every start: tag line and XML. Every version it accepts must
// name one directory right below the base directory.
#include "fuzz_support.h"

#include "engine/version_catalogue.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray bytes = fuzzBytes(data, size);
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    const QDir base(QStringLiteral("/nonexistent/korvel"));
    VersionCatalogue catalogue(base);
    catalogue.parseCatalogue(file);
    for (const VersionEntry &entry : catalogue.versions()) {
        const QString path = QDir::cleanPath(entry.versionDir().absolutePath());
        if (QFileInfo(path).path() != base.absolutePath())
            fuzzFailure("a version names a directory outside the base directory");
    }
    return 0;
}
