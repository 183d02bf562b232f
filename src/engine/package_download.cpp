#include "engine/package_record.h"
#include "engine/version_catalogue.h"

#include "engine/http_transfer.h"
#include "engine/path_names.h"
#include "engine/server_layout.h"
#include "engine/servers.h"
#include "engine/status_sink.h"
#include "platform/process.h"
#include "platform/sha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QUrl>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace {

struct Mirror {
    QString (*base)();
    QString (*path)(const QString &name, const QString &no);
    QString (*patchPath)(const QString &name, const QString &no);
};

// Tried in this order.
const Mirror PackageMirrors[] = {
    {&servers::component, &server_layout::componentPackagePath, &server_layout::componentPatchPath},
    {&servers::package, &server_layout::mirrorPackagePath, &server_layout::mirrorPatchPath},
};

// Reads of 1 KiB made the check of a stored package 7 % slower than md5sum.
constexpr qint64 DigestChunk = 64 * 1024;

// MD5 (and a SHA-256) of a stream of blocks, each taken on a thread of its own. On a fast line
// the MD5 costs as much as the transfer itself (MD5 of 256 MiB takes as long as curl's whole download), so on
// the transfer's thread it would halve the speed; beside it, it costs next to nothing. The blocks are lent by
// a small fixed ring: the producer fills one while the hashers read the ones handed over before it, in order,
// and it waits when all of them are still being hashed, so memory stays at BlockCount blocks however fast the
// line is. The threads live no longer than this object. When the system refuses a thread, its digest is taken
// by the other hasher, or on the producer's thread as each block is handed over: slower, and the same
// digests.
class ParallelDigests {
public:
    static constexpr int BlockSize = 512 * 1024;

    // withSha256: a SHA-256 is taken beside the MD5, on a thread of its own: on the MD5's it
    // made a signed download of 256 MiB 30 % slower, on the producer's (which copies and writes
    // every byte) 35 %.
    explicit ParallelDigests(bool withSha256 = false) : m_md5(QCryptographicHash::Md5)
    {
        if (withSha256)
            m_sha256.emplace();
        for (QByteArray &block : m_blocks)
            block.reserve(BlockSize);
        m_lanes[Md5Lane].running = m_lanes[Md5Lane].thread.start([this] { hashBlocks(Md5Lane); });
        if (m_sha256 && m_lanes[Md5Lane].running)
            m_lanes[Sha256Lane].running =
                m_lanes[Sha256Lane].thread.start([this] { hashBlocks(Sha256Lane); });
    }
    ~ParallelDigests() { result(); }
    ParallelDigests(const ParallelDigests &) = delete;
    ParallelDigests &operator=(const ParallelDigests &) = delete;

    // The next block to fill, empty; waits while every block is still being hashed. The
    // producer may change it until it hands it over.
    QByteArray &freeBlock()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_blockHashed.wait(lock, [this] { return m_handedOver - slowestLane() < BlockCount; });
        QByteArray &block = m_blocks[m_handedOver % BlockCount];
        block.resize(0); // keeps the reserved capacity
        return block;
    }
    // Hands the block freeBlock() returned to the hashers; from here on the producer may only
    // read it until the next freeBlock() call returns it again.
    void handOver()
    {
        if (!m_lanes[Md5Lane].running) {
            hash(Md5Lane, m_blocks[m_handedOver % BlockCount]);
            ++m_handedOver;
            m_lanes[Md5Lane].hashed = m_handedOver;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_handedOver;
        }
        m_blockReady.notify_all();
    }
    // Ends the stream: waits until every block handed over is hashed; returns the MD5.
    QByteArray result()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ended = true;
        }
        m_blockReady.notify_all();
        for (Lane &lane : m_lanes) {
            lane.thread.join();
            lane.running = false;
        }
        return m_md5.result();
    }
    // After result(): the SHA-256, when it was asked for.
    QByteArray sha256Result() { return m_sha256 ? m_sha256->result() : QByteArray(); }

private:
    static constexpr int BlockCount = 3;
    enum LaneIndex { Md5Lane, Sha256Lane, LaneCount };

    // Blocks handed over that every running hasher is done with. Under m_mutex.
    quint64 slowestLane() const
    {
        quint64 slowest = m_lanes[Md5Lane].hashed;
        if (m_lanes[Sha256Lane].running)
            slowest = std::min(slowest, m_lanes[Sha256Lane].hashed);
        return slowest;
    }

    void hashBlocks(int index)
    {
        Lane &lane = m_lanes[index];
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_blockReady.wait(lock, [&] { return lane.hashed < m_handedOver || m_ended; });
            if (lane.hashed == m_handedOver)
                return;
            const QByteArray &block = m_blocks[lane.hashed % BlockCount];
            lock.unlock();
            hash(index, block);
            lock.lock();
            ++lane.hashed;
            m_blockHashed.notify_one();
        }
    }

    // The digests the lane takes: its own, and the SHA-256 too where that has no thread.
    void hash(int index, const QByteArray &block)
    {
        if (index == Md5Lane)
            m_md5.addData(block.constData(), block.size());
        if (m_sha256 && (index == Sha256Lane || !m_lanes[Sha256Lane].running))
            m_sha256->addData(block.constData(), block.size());
    }

    struct Lane {
        quint64 hashed = 0;   // blocks hashed so far; under m_mutex while it runs
        bool running = false; // set before any block is handed over
        platform::JoinedThread thread;
    };

    QCryptographicHash m_md5; // only its hasher touches it until it is joined, if there is one
    std::optional<platform::Sha256> m_sha256; // likewise
    QByteArray m_blocks[BlockCount];
    std::mutex m_mutex;
    std::condition_variable m_blockReady;  // a block handed over, or the stream ended
    std::condition_variable m_blockHashed; // a block hashed by one of the hashers
    quint64 m_handedOver = 0;              // blocks handed over so far; under m_mutex
    bool m_ended = false;                  // under m_mutex
    Lane m_lanes[LaneCount];               // last: started once everything above is built
};

// The transfer's target: the partial file, with every byte that reaches it also fed to the MD5
// digest, so a downloaded package never has to be read back to be verified. libcurl hands the
// body over in pieces; they are collected in blocks of 512 KiB, each written to the file with
// one system call while the hashing thread digests it.
class DigestingWriter : public QIODevice {
public:
    // sizeLimit >= 0 (a signed package's size): a body that grows past it ends the transfer,
    // and a SHA-256 is taken beside the MD5.
    explicit DigestingWriter(QFile *file, qint64 sizeLimit = -1)
        : m_file(file), m_digests(sizeLimit >= 0), m_block(&m_digests.freeBlock()), m_sizeLimit(sizeLimit)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    // Writes what is still collected and waits for the digest; false when the file refused a
    // write. Call once, after the transfer.
    bool finish()
    {
        const bool written = !m_writeFailed && writeBlock();
        m_digest = m_digests.result();
        m_sha256 = m_digests.sha256Result();
        return written;
    }
    // Valid after finish().
    QByteArray digest() const { return m_digest; }
    QByteArray sha256() const { return m_sha256; } // empty without a size limit
    qint64 received() const { return m_received; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        // The signed size is all there is to read: a server that sends more is cut off at once
        // rather than written to the disk (libcurl's code 23, and the next mirror is tried).
        if (m_sizeLimit >= 0 && length > m_sizeLimit - m_received)
            return -1;
        m_received += length;
        for (qint64 done = 0; done < length;) {
            const qint64 taken =
                std::min<qint64>(length - done, ParallelDigests::BlockSize - m_block->size());
            m_block->append(data + done, int(taken));
            done += taken;
            if (m_block->size() == ParallelDigests::BlockSize) {
                // A refused write ends the transfer (libcurl's code 23), as a full disk must.
                if (!writeBlock())
                    return -1;
                m_block = &m_digests.freeBlock();
            }
        }
        return length;
    }

private:
    // Hands the collected block to the hasher, then writes it: both only read it meanwhile.
    bool writeBlock()
    {
        m_digests.handOver();
        m_writeFailed = m_file->write(*m_block) != m_block->size();
        return !m_writeFailed;
    }

    QFile *m_file;
    ParallelDigests m_digests;
    QByteArray *m_block; // being filled; one of m_digests' blocks
    qint64 m_sizeLimit;
    qint64 m_received = 0;
    bool m_writeFailed = false;
    QByteArray m_digest;
    QByteArray m_sha256;
};

} // namespace

QString PackageRecord::packageFilePath() const
{
    return m_packageDir.filePath(m_version + QLatin1String(m_isPatch ? PatchFileSuffix : PackageFileSuffix));
}

bool PackageRecord::isStoreFileName(const QString &fileName)
{
    for (const char *suffix : {PackageFileSuffix, PatchFileSuffix}) {
        if (fileName.endsWith(QLatin1String(suffix))
            || fileName.endsWith(QLatin1String(suffix) + QLatin1String(PartialFileSuffix)))
            return true;
    }
    return false;
}

bool PackageRecord::verifyPackage(QIODevice &file) const
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    std::optional<platform::Sha256> sha256;
    if (hasSignedContent())
        sha256.emplace();
    QByteArray chunk(int(DigestChunk), Qt::Uninitialized);
    qint64 total = 0;
    qint64 n;
    while ((n = file.read(chunk.data(), DigestChunk)) > 0) {
        md5.addData(chunk.constData(), int(n));
        total += n;
        // A stored file larger than its signed size is not the package, whatever follows.
        if (hasSignedContent() && total > m_size)
            return false;
        if (sha256)
            sha256->addData(chunk.constData(), n);
    }
    if (md5.result() != m_digest)
        return false;
    return !hasSignedContent() || (total == m_size && sha256->result() == m_sha256);
}

bool PackageRecord::downloadPackage() const
{
    const QString finalPath = packageFilePath();
    if (QFile::exists(finalPath) && !QFile::remove(finalPath))
        return false;
    // The store's directory is made only now, for a package that is really fetched.
    m_packageDir.mkpath(QStringLiteral("."));
    const QString partialPath = finalPath + QLatin1String(PartialFileSuffix);

    for (const Mirror &mirror : PackageMirrors) {
        // Each attempt writes a new file: a second mirror never appends to the first one's
        // bytes, nor a run resumes what an earlier run left. A new file rather than a truncated
        // one: closing a file that was emptied and written again makes the file system write
        // it all back at once.
        QFile::remove(partialPath);
        QFile partial(partialPath);
        if (!partial.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            break;
        const QString path =
            (m_isPatch ? mirror.patchPath : mirror.path)(urlPathSegment(m_name), urlPathSegment(m_no));
        DigestingWriter writer(&partial, m_size);
        HttpTransfer transfer(QUrl(mirror.base() + path), &writer);
        if (transfer.perform() != 200 || !writer.finish() || writer.digest() != m_digest)
            continue;
        if (hasSignedContent() && (writer.received() != m_size || writer.sha256() != m_sha256))
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
        m_sink->report(status_reports::DownloadStarted, m_version, package.name());
        if (m_patchedPackages.contains(package.name()))
            continue; // its one file stands ready without it
        QFile existing(package.packageFilePath());
        if (existing.open(QIODevice::ReadOnly) && package.verifyPackage(existing))
            continue;
        existing.close();
        if (!package.downloadPackage()) {
            m_sink->report(status_reports::DownloadFailed, m_version, package.name());
            return false;
        }
    }
    return true;
}
