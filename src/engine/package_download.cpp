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
// Reads of 1 KiB made the check of a stored package 7 % slower than md5sum.
constexpr qint64 DigestChunk = 64 * 1024;

// The transfer's target: the partial file, with every byte that reaches it also fed to the MD5
// digest, so a downloaded package never has to be read back to be verified. libcurl hands the
// body over in pieces of 16 KiB; they reach the file in batches, a system call per 512 KiB.
class DigestingWriter : public QIODevice {
public:
    explicit DigestingWriter(QFile *file) : m_file(file), m_md5(QCryptographicHash::Md5)
    {
        m_batch.reserve(BatchSize);
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    QByteArray digest() const { return m_md5.result(); }
    // Writes what is still batched; false when the file refused it.
    bool finish() { return writeBatch(); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        m_md5.addData(data, int(length));
        m_batch.append(data, int(length));
        // A refused write ends the transfer (libcurl's code 23), as a full disk must.
        if (m_batch.size() >= BatchSize && !writeBatch())
            return -1;
        return length;
    }

private:
    static constexpr int BatchSize = 512 * 1024;

    bool writeBatch()
    {
        const bool written = m_file->write(m_batch) == m_batch.size();
        m_batch.resize(0); // keeps the reserved capacity
        return written;
    }

    QFile *m_file;
    QCryptographicHash m_md5;
    QByteArray m_batch;
};

} // namespace

QString PackageRecord::packageFilePath() const
{
    return m_packageDir.filePath(m_version + QLatin1String(PackageSuffix));
}

bool PackageRecord::verifyPackage(QIODevice &file) const
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    QByteArray chunk(int(DigestChunk), Qt::Uninitialized);
    qint64 n;
    while ((n = file.read(chunk.data(), DigestChunk)) > 0)
        md5.addData(chunk.constData(), int(n));
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
        DigestingWriter writer(&partial);
        HttpTransfer transfer(QUrl(mirror.base() + path), &writer);
        if (transfer.perform() != 200 || !writer.finish() || writer.digest() != m_digest)
            continue;
        // A full disk may only show when the file is closed.
        partial.close();
        if (partial.error() != QFileDevice::NoError)
            continue;
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
