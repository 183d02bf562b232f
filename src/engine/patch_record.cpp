#include "engine/patch_record.h"

#include "engine/path_names.h"
#include "engine/signed_release.h"

#include <QRegularExpression>
#include <QXmlStreamAttributes>

bool isPlainRelativePath(const QString &path)
{
    if (path.isEmpty())
        return false;
    for (const QString &part : path.split(QLatin1Char('/'))) {
        if (!isPlainName(part))
            return false;
    }
    return true;
}

PatchRecord::Reading PatchRecord::read(const QXmlStreamAttributes &attributes,
                                       std::optional<PatchRecord> *patch)
{
    const auto text = [&](const char *name) { return attributes.value(QLatin1String(name)).toString(); };
    const QString file = text("file");
    const QString package = text("package");
    const QString no = text("no");
    const QString hash = text("hash");
    if (file.isEmpty() || package.isEmpty() || no.isEmpty() || hash.isEmpty())
        return Reading::Incomplete;
    // The package name and the patch's no become a directory and a file in the package store,
    // the file a path in the version directory.
    if (!isPlainName(package) || !isPlainName(no) || !isPlainRelativePath(file))
        return Reading::Unsafe;
    // Unlike a package's, a patch's digest must be well formed: a patch that no file can match
    // would only cost a request before its package is fetched all the same.
    static const QRegularExpression md5Hex(QStringLiteral("^[0-9A-Fa-f]{32}$"));
    if (!md5Hex.match(hash).hasMatch())
        return Reading::Incomplete;
    QByteArray sha256;
    qint64 size = -1;
    QByteArray baseSha256;
    qint64 baseSize = -1;
    QByteArray resultSha256;
    qint64 resultSize = -1;
    if (!release::parseSignedContent(text("sha256"), text("size"), &sha256, &size)
        || !release::parseSignedContent(text("baseSha256"), text("baseSize"), &baseSha256, &baseSize)
        || !release::parseSignedContent(text("resultSha256"), text("resultSize"), &resultSha256, &resultSize))
        return Reading::Incomplete;
    PackageRecord patchFile(package, no, no, hash);
    patchFile.markAsPatch();
    patchFile.setSignedContent(sha256, size);
    PatchRecord record(file, package, patchFile);
    record.m_baseSha256 = baseSha256;
    record.m_baseSize = baseSize;
    record.m_resultSha256 = resultSha256;
    record.m_resultSize = resultSize;
    patch->emplace(record);
    return Reading::Usable;
}
