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
    // The store's directory is made only now, for a package that is really fetched.
    m_packageDir.mkpath(QStringLiteral("."));
    const QString partialPath = finalPath + QLatin1String(PartialSuffix);

    for (const Mirror &mirror : PackageMirrors) {
        // Each attempt writes a new file: a second mirror never appends to the first one's
        // bytes, nor a run resumes what an earlier run left. A new file rather than a truncated
        // one: closing a file that was emptied and written again makes the file system write
        // it all back at once.
        QFile::remove(partialPath);
        QFile partial(partialPath);
        if (!partial.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            break;
        // The three-argument arg fills each place once: a name holding "%2" stays as it is.
        const QString path = QString::fromLatin1(mirror.pathTemplate)
                                 .arg(urlPathSegment(m_name), urlPathSegment(m_no),
                                      QLatin1String(PackageSuffix));
        HttpTransfer transfer(QUrl(mirror.base() + path), &partial);
        if (transfer.perform() != 200)
            continue;
        // A full disk may only show when the file is closed.
        partial.close();
        if (partial.error() != QFileDevice::NoError || !partial.open(QIODevice::ReadOnly)
            || !verifyPackage(partial))
            continue;
        partial.close();
        // A verified file that did not get its final name is not there for the extraction.
        if (QFile::rename(partialPath, finalPath))
            return true;
        break;
    }
    // Nothing of a failed download is kept: it is never resumed, and a server can make it as
    // large as it likes.
    QFile::remove(partialPath);
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
