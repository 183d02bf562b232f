#include "engine/server_layout.h"

#include "engine/package_record.h"

namespace server_layout {

namespace {

const char BinDir[] = "bin";
const char ComponentDir[] = "component";
const char SignatureSuffix[] = ".minisig";

} // namespace

QString cataloguePath()
{
    return QStringLiteral("/%1/versions.xml").arg(QLatin1String(BinDir));
}

QString manifestDir()
{
    return QStringLiteral("/%1/manifest").arg(QLatin1String(BinDir));
}

QString manifestPath(const QString &version)
{
    return manifestDir() + QLatin1Char('/') + version + QStringLiteral(".xml");
}

namespace {

// A file of the store (suffix: a package's or a patch's, as the store names it) on each mirror.
// The multi-argument arg fills each place once: a name holding "%2" stays as it is.
QString componentPath(const QString &name, const QString &no, const char *suffix)
{
    return QStringLiteral("/%1/%2/%3/%2_%3%4")
        .arg(QLatin1String(ComponentDir), name, no, QLatin1String(suffix));
}

QString mirrorPath(const QString &name, const QString &no, const char *suffix)
{
    return QStringLiteral("/%1/%2/%1_%2%3").arg(name, no, QLatin1String(suffix));
}

} // namespace

QString componentPackagePath(const QString &name, const QString &no)
{
    return componentPath(name, no, PackageFileSuffix);
}

QString mirrorPackagePath(const QString &name, const QString &no)
{
    return mirrorPath(name, no, PackageFileSuffix);
}

QString componentPatchPath(const QString &name, const QString &no)
{
    return componentPath(name, no, PatchFileSuffix);
}

QString mirrorPatchPath(const QString &name, const QString &no)
{
    return mirrorPath(name, no, PatchFileSuffix);
}

QString signaturePath(const QString &path)
{
    return path + QLatin1String(SignatureSuffix);
}

bool isReservedName(const QString &name)
{
    return name == QLatin1String(BinDir) || name == QLatin1String(ComponentDir);
}

} // namespace server_layout
