#include "engine/package_record.h"
#include "engine/version_catalogue.h"

#include "engine/http_transfer.h"
#include "engine/path_names.h"
#include "engine/servers.h"
#include "engine/status_sink.h"

#include <QCryptographicHash>
#include <QFile>
#include <QUrl>

namespace {

struct Mirror {
    QString (*base)();
    const char *pathTemplate; // %1 name, %2 no, %3 ".7z"
};

// Tried in this order.
const Mirror PackageMirrors[] = {
    {&servers::component, "/component/%1/%2/%1_%2%3"},
    {&servers::package, "/%1/%2/%1_%2%3"},
};

const char PackageSuffix[] = ".7z";
const char PartialSuffix[] = ".partial";
constexpr qint64 DigestChunk = 1024;

} // namespace

QString PackageRecord::packageFilePath() const
{
    return m_packageDir.filePath(m_version + QLatin1String(PackageSuffix));
}

bool PackageRecord::verifyPackage(QIODevice &file) const
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    char chunk[DigestChunk];
    qint64 n;
    while ((n = file.read(chunk, DigestChunk)) > 0)
        md5.addData(chunk, int(n));
    return md5.result() == m_digest;
}

bool PackageRecord::downloadPackage() const
{
    const QString finalPath = packageFilePath();
    if (QFile::exists(finalPath) && !QFile::remove(finalPath))
        return false;
    QFile partial(finalPath + QLatin1String(PartialSuffix));
    if (!partial.open(QIODevice::ReadWrite))
        return false;

    for (const Mirror &mirror : PackageMirrors) {
        // A second mirror must never append to the first one's bytes, nor a run resume what an
        // earlier run left.
        if (!partial.resize(0) || !partial.seek(0))
            continue;
        // The three-argument arg fills each place once: a name holding "%2" stays as it is.
        const QString path = QString::fromLatin1(mirror.pathTemplate)
                                 .arg(urlPathSegment(m_name), urlPathSegment(m_no),
                                      QLatin1String(PackageSuffix));
        HttpTransfer transfer(QUrl(mirror.base() + path), &partial);
        // seek flushes what QFile still buffers, so a disk that filled up fails here.
        if (transfer.perform() == 200 && partial.seek(0) && verifyPackage(partial)) {
            partial.close();
            // A verified file that did not get its final name is not there for the extraction.
            return partial.rename(finalPath);
        }
    }
    return false;
}

bool VersionEntry::downloadPackages()
{
    for (const PackageRecord &package : qAsConst(m_packages)) {
        m_sink->report(2, 0, m_version, package.name(), QStringLiteral("开始下载"));
        QFile existing(package.packageFilePath());
        if (existing.open(QIODevice::ReadOnly) && package.verifyPackage(existing))
            continue;
        existing.close();
        if (!package.downloadPackage()) {
            m_sink->report(2, -1, m_version, package.name(), QStringLiteral("下载错误"));
            return false;
        }
    }
    return true;
}
