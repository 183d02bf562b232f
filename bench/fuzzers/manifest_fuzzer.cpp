// A manifest as the catalogue server sends it. Every package it accepts must keep its store
// file inside the package store.
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
    return 0;
}
