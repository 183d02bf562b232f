// A manifest as the catalogue server sends it. Every package and patch it accepts must keep its
// store file inside the package store, and a patch's file inside the version directory.
#include "fuzz_support.h"

#include "base/locations.h"
#include "engine/version_catalogue.h"

#include <QDir>
#include <QFileInfo>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QString store = QDir::cleanPath(dataDirectory() + QStringLiteral("/packages"));
    VersionEntry entry(QDir(QStringLiteral("/nonexistent/korvel")), nullptr, QStringLiteral("1.0"),
                       QString());
    if (!entry.parseManifest(fuzzBytes(data, size)))
        return 0;
    for (const PackageRecord &package : entry.packages()) {
        const QString file = QDir::cleanPath(package.packageFilePath());
        if (QFileInfo(QFileInfo(file).path()).path() != store)
            fuzzFailure("a package is stored outside the package store");
    }
    const QString versionDir = entry.versionDir().absolutePath();
    for (const PatchRecord &patch : entry.patches()) {
        const QString file = QDir::cleanPath(patch.patchFile().packageFilePath());
        if (QFileInfo(QFileInfo(file).path()).path() != store)
            fuzzFailure("a patch is stored outside the package store");
        if (!QDir::cleanPath(versionDir + QLatin1Char('/') + patch.file())
                 .startsWith(versionDir + QLatin1Char('/')))
            fuzzFailure("a patch's file lies outside the version directory");
    }
    return 0;
}
