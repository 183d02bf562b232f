#include "engine/package_record.h"
#include "engine/version_catalogue.h"

#include "engine/http_transfer.h"
#include "engine/path_names.h"
#include "engine/server_layout.h"
#include "engine/servers.h"
#include "engine/status_sink.h"
#include "engine/transfer_pool.h"
#include "platform/filesystem.h"
#include "platform/process.h"
#include "platform/sha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// The end of a job: a transfer with nothing left to start takes over the end (at least half) of
// what the transfer that will take longest still has to bring, over its own connection (open,
// and past its slow start). Without it the job waited for its slowest transfer: a flow that lost packets
// among the first round trips of eight ran at a fifth of the others' rate, and an update's last package came
// a second after all the others.
class InFlightTransfers {
public:
    // Bytes next to last of a package's file of total bytes, which one transfer brings. Its
    // fields are under the board's mutex.
    struct Range {
        const PackageRecord *package = nullptr;
        int unitIndex = 0;
        qint64 total = 0;
        qint64 next = 0; // the first byte not yet taken
        qint64 last = 0; // lowered by a helper that took over the rest
        qint64 firstNext = 0;
        std::chrono::steady_clock::time_point started;
        // Its rate over the last RateWindow (-1 before one has passed), and where the
        // window now running began.
        double recentRate = -1;
        qint64 sampledNext = 0;
        std::chrono::steady_clock::time_point sampled;
        // A resume tag vouches for a file written from its start only: once another transfer
        // writes into the file, the tag goes.
        QString tagPath;
        enum class Help { None, Asked, Working } help = Help::None;
        bool handedOver = false; // a helper took over its end
        bool refused = false;    // a helper got no part of it: not asked again
        bool helperFailed = false;
        bool ended = false;
    };

    // A range on the board, where helpers see it.
    std::shared_ptr<Range> enter(const PackageRecord &package, int unitIndex, qint64 next, qint64 last,
                                 qint64 total, const QString &tagPath = QString());
    // The range's first byte not yet taken and its last byte.
    void bounds(const Range &range, qint64 *next, qint64 *last);
    // Takes the next length bytes of range, fewer where its end comes first (a helper took
    // over the rest, or an answer brought more than the range): the count taken.
    qint64 take(Range &range, qint64 length);
    bool handedOver(const Range &range);
    // Takes range off the board once its transfer has ended, after the helper that works on its
    // end (if any) is done: false when that helper failed to bring its part.
    bool leave(Range &range);

    // For a transfer with nothing left to start: takes over part of the range that will take
    // longest, if one is worth it, and brings it over connection. False when none was.
    bool helpOne(TransferConnection &connection, const TransferLimits &limits, MirrorRanking &mirrors,
                 const std::atomic<bool> *cancel);

private:
    // The range that will take longest, marked as asked for, and the part a helper whose
    // round trip takes roundTrip seconds is to take over. Null when none is worth it.
    std::shared_ptr<Range> pick(double roundTrip, long takeOverAfterMs, qint64 *from, qint64 *last);
    // At the first byte of a helper's answer for victim's bytes from askedFrom: own (not yet on
    // the board) becomes the rest from where the victim has got to, and goes on the board. -1
    // when nothing is left to take over; else the first byte own brings.
    qint64 claim(Range &victim, const std::shared_ptr<Range> &own, qint64 askedFrom);
    void release(Range &victim, bool claimed, bool brought);

    std::mutex m_mutex;
    std::condition_variable m_released;
    std::vector<std::shared_ptr<Range>> m_ranges;
};

namespace {

// A range is taken over only where its transfer keeps at least this much and the helper gets at
// least as much: the helper's part costs a request round trip.
constexpr qint64 MinHandOverBytes = 32 * 1024;
// ... and only once its transfer has run TransferLimits::takeOverAfterMs (its rate means little
// before) and would need at least that much longer at that rate.
// The range's transfer keeps what it brings in this many of the helper's round trips at its
// rate (at most half): about what it has on the way when the helper's first byte comes, which
// would be lost with its connection if the helper took it.
constexpr double KeptRoundTrips = 2.0;
// A range's rate is its recent one, over windows this long: its average since it began counts
// its slow start, and a helper that asked for a range the transfer would have finished sooner
// gets nothing (and its answer's first round trip is lost with its connection).
constexpr auto RateWindow = std::chrono::milliseconds(100);

// A transfer waits for a connection set up ahead twice the round trip the manifest's connection
// measured, at least this long (and at most ConnectionsAhead::MaxWaitMs).
constexpr long MinAheadWaitMs = 20;

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

// The two package mirrors, ranked afresh (no failure seen yet).
MirrorRanking packageMirrorRanking()
{
    return MirrorRanking(PackageMirrors[0].base(), PackageMirrors[1].base());
}

// Where mirror (0 or 1) serves package's file.
QUrl mirrorUrl(const PackageRecord &package, int mirror)
{
    const Mirror &m = PackageMirrors[mirror];
    return QUrl(m.base()
                + (package.isPatch() ? m.patchPath : m.path)(urlPathSegment(package.name()),
                                                             urlPathSegment(package.no())));
}

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
    // withSha256: a SHA-256 is taken beside the MD5, on a thread of its own: on the MD5's it
    // made a signed download of 256 MiB 30 % slower, on the producer's (which copies and writes
    // every byte) 35 %.
    // blockSize: the bytes of each block of the ring (TransferLimits::pieceBytes).
    explicit ParallelDigests(bool withSha256, int blockSize)
        : m_blockSize(blockSize), m_md5(QCryptographicHash::Md5)
    {
        if (withSha256)
            m_sha256.emplace();
        for (QByteArray &block : m_blocks)
            block.reserve(m_blockSize);
        m_lanes[Md5Lane].running = m_lanes[Md5Lane].thread.start([this] { hashBlocks(Md5Lane); });
        if (m_sha256 && m_lanes[Md5Lane].running)
            m_lanes[Sha256Lane].running =
                m_lanes[Sha256Lane].thread.start([this] { hashBlocks(Sha256Lane); });
    }
    ~ParallelDigests() { result(); }
    int blockSize() const { return m_blockSize; }
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

    const int m_blockSize;
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

// Every byte of a package body goes to the partial file and to the digests, so a downloaded
// package never has to be read back to be verified. libcurl hands the body over in pieces; they
// are collected in blocks (TransferLimits::pieceBytes), each written to the file with one system call while
// the hashing threads digest it.
class DigestingWriter {
public:
    // sizeLimit >= 0 (a signed package's size): a body that grows past it is refused, and a
    // SHA-256 is taken beside the MD5.
    // blockSize: TransferLimits::pieceBytes.
    DigestingWriter(QFile *file, qint64 sizeLimit, int blockSize)
        : m_file(file),
          m_digests(sizeLimit >= 0, blockSize),
          m_block(&m_digests.freeBlock()),
          m_sizeLimit(sizeLimit)
    {
    }
    // Digests the first length bytes of the file (read from its start) without writing them:
    // what an earlier answer left, which the rest will follow. False when they cannot be read
    // or are more than the size limit.
    bool takeExisting(qint64 length)
    {
        if ((m_sizeLimit >= 0 && length > m_sizeLimit) || !m_file->seek(0))
            return false;
        while (m_received < length) {
            const int wanted = int(std::min<qint64>(length - m_received, m_digests.blockSize()));
            m_block->resize(wanted);
            if (m_file->read(m_block->data(), wanted) != wanted)
                return false;
            m_received += wanted;
            m_digests.handOver();
            m_block = &m_digests.freeBlock();
        }
        return true;
    }
    // False when the file refused a write or the body grows past the size limit.
    bool append(const char *data, qint64 length)
    {
        // The signed size is all there is to read: a server that sends more is cut off at once
        // rather than written to the disk (libcurl's code 23, and the next mirror is tried).
        if (m_writeFailed || (m_sizeLimit >= 0 && length > m_sizeLimit - m_received))
            return false;
        m_received += length;
        for (qint64 done = 0; done < length;) {
            const qint64 taken = std::min<qint64>(length - done, m_digests.blockSize() - m_block->size());
            m_block->append(data + done, int(taken));
            done += taken;
            if (m_block->size() == m_digests.blockSize()) {
                // A refused write ends the transfer (libcurl's code 23), as a full disk must.
                if (!writeBlock())
                    return false;
                m_block = &m_digests.freeBlock();
            }
        }
        return true;
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
    qint64 received() const { return m_received; } // the bytes taken over included

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

// A tag longer than this is not one a server of ours sends.
constexpr qint64 MaxResumeTagBytes = 1024;

QString readResumeTag(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxResumeTagBytes)
        return QString();
    return QString::fromLatin1(file.readAll()).trimmed();
}

// Written in place, without waiting for the disk: a tag cut short by a kill or a power cut
// matches no answer's, and the If-Range it goes into then brings the whole file. (Flushing it,
// at the first byte of every package, stalled the transfers behind the disk's write-back.)
bool writeResumeTag(const QString &path, const QString &tag)
{
    QFile file(path);
    const QByteArray bytes = tag.toLatin1();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// The value of the first response header named name in any letter case: a resumption must
// not depend on how a server spells "Content-Range".
QString headerAnyCase(const QMap<QString, QString> &headers, const QString &name)
{
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return QString();
}

// The numbers of a Content-Range value ("bytes FIRST-LAST/TOTAL"); total -1 for "*".
bool parseContentRange(const QString &contentRange, qint64 *first, qint64 *last, qint64 *total)
{
    static const QRegularExpression form(QStringLiteral("^bytes (\\d{1,18})-(\\d{1,18})/(\\d{1,18}|\\*)$"));
    const QRegularExpressionMatch match = form.match(contentRange.trimmed());
    if (!match.hasMatch())
        return false;
    *first = match.captured(1).toLongLong();
    *last = match.captured(2).toLongLong();
    *total = match.captured(3) == QLatin1String("*") ? -1 : match.captured(3).toLongLong();
    return true;
}

// Whether a Content-Range value is exactly the rest of a file of which the first `from` bytes
// are here, and, when size >= 0, of that size.
bool isRestFrom(const QString &contentRange, qint64 from, qint64 size)
{
    qint64 first, last, total;
    if (!parseContentRange(contentRange, &first, &last, &total) || first != from)
        return false;
    if (total < 0)
        return size < 0 || last == size - 1;
    return last == total - 1 && (size < 0 || total == size);
}

// The transfer's target for one attempt at a package. At the first byte of the body it knows
// the answer: a 206 for exactly the bytes missing continues the partial file; a 200 replaces
// it (and its tag); any other status is not the package, and its body is dropped, the partial
// file left as it was.
class PackageTarget : public QIODevice {
public:
    enum class Answer { None, Continued, Replaced, NotThePackage, WrongRange };

    // partial: open for reading and writing at its end, holding resumeFrom bytes that
    // takeExisting() digests. sizeLimit as DigestingWriter's.
    // inFlight (may be null): where the body's range is put once its size is known, for a
    // helper to take over its end; record and unitIndex: what it is a range of.
    PackageTarget(QFile *partial, const QString &tagPath, qint64 resumeFrom, qint64 sizeLimit, int blockSize,
                  InFlightTransfers *inFlight, const PackageRecord &record, int unitIndex)
        : m_partial(partial),
          m_tagPath(tagPath),
          m_resumeFrom(resumeFrom),
          m_sizeLimit(sizeLimit),
          m_blockSize(blockSize),
          m_inFlight(inFlight),
          m_record(record),
          m_unitIndex(unitIndex)
    {
        m_writer.emplace(partial, sizeLimit, blockSize);
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    bool takeExisting() { return m_writer->takeExisting(m_resumeFrom); }
    void setTransfer(const HttpTransfer *transfer) { m_transfer = transfer; }

    Answer answer() const { return m_answer; }
    // Body bytes written to the partial file by this attempt.
    qint64 written() const { return m_written; }
    DigestingWriter &writer() { return *m_writer; }

    // After the transfer: whether a helper took over the end of the file, and then whether the
    // whole file is in (this transfer's part and the helpers'). Waits for the helpers.
    enum class HandOver { None, Complete, Incomplete };
    HandOver leaveInFlight()
    {
        if (!m_range)
            return HandOver::None;
        const bool helpersBrought = m_inFlight->leave(*m_range);
        qint64 next, last;
        m_inFlight->bounds(*m_range, &next, &last);
        if (!m_inFlight->handedOver(*m_range))
            return HandOver::None;
        return helpersBrought && next > last ? HandOver::Complete : HandOver::Incomplete;
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        if (m_answer == Answer::None)
            m_answer = decide();
        switch (m_answer) {
        case Answer::Continued:
        case Answer::Replaced: {
            const qint64 taken = m_range ? m_inFlight->take(*m_range, length) : length;
            if (!m_writer->append(data, taken))
                return -1;
            m_written += taken;
            // Fewer: a helper brings the rest, and this transfer ends here.
            return taken == length ? length : -1;
        }
        case Answer::NotThePackage:
            return length;
        default:
            return -1;
        }
    }

private:
    Answer decide()
    {
        const int status = m_transfer->currentStatus();
        if (status == 206) {
            const QString contentRange =
                headerAnyCase(m_transfer->responseHeaders, QStringLiteral("Content-Range"));
            if (m_resumeFrom <= 0 || !isRestFrom(contentRange, m_resumeFrom, m_sizeLimit))
                return Answer::WrongRange;
            qint64 first, last, total;
            parseContentRange(contentRange, &first, &last, &total);
            enterInFlight(m_resumeFrom, total >= 0 ? total : m_sizeLimit);
            return Answer::Continued;
        }
        if (status != 200)
            return Answer::NotThePackage;
        // The whole file again (the server ignored the range, or the file changed): what the
        // partial file holds is of no use any more. Its tag goes first, so that a kill
        // in between never pairs the old tag with new bytes.
        QFile::remove(m_tagPath);
        if (m_resumeFrom > 0) {
            m_writer.reset();
            if (!m_partial->resize(0) || !m_partial->seek(0))
                return Answer::WrongRange;
            m_writer.emplace(m_partial, m_sizeLimit, m_blockSize);
        }
        // A weak tag names a file that may differ byte for byte: only a strong one, or the date,
        // may guard a range.
        QString tag = headerAnyCase(m_transfer->responseHeaders, QStringLiteral("ETag"));
        if (tag.startsWith(QLatin1String("W/")))
            tag.clear();
        if (tag.isEmpty())
            tag = headerAnyCase(m_transfer->responseHeaders, QStringLiteral("Last-Modified"));
        if (!tag.isEmpty() && tag.size() < MaxResumeTagBytes)
            writeResumeTag(m_tagPath, tag);
        const qint64 length = m_transfer->announcedLength();
        enterInFlight(0, length >= 0 ? length : -1);
        return Answer::Replaced;
    }

    // Puts the rest of the file, from byte from of total, on the board of transfers in flight,
    // where total is known and the size the package should have.
    void enterInFlight(qint64 from, qint64 total)
    {
        const qint64 expected = m_sizeLimit >= 0 ? m_sizeLimit : m_record.expectedSize();
        if (m_inFlight && total > from && (expected < 0 || total == expected))
            m_range = m_inFlight->enter(m_record, m_unitIndex, from, total - 1, total, m_tagPath);
    }

    QFile *m_partial;
    QString m_tagPath;
    qint64 m_resumeFrom;
    qint64 m_sizeLimit;
    int m_blockSize;
    InFlightTransfers *m_inFlight;
    const PackageRecord &m_record;
    int m_unitIndex;
    const HttpTransfer *m_transfer = nullptr;
    std::optional<DigestingWriter> m_writer;
    Answer m_answer = Answer::None;
    qint64 m_written = 0;
    std::shared_ptr<InFlightTransfers::Range> m_range;
};

// How one request for a package ended.
enum class Attempt {
    Verified,    // the package is in place under its final name
    Cut,         // cut off after some bytes: the rest may be asked for, here or elsewhere
    Stalled,     // too slow: the rest is better asked of the other mirror
    Broken,      // what is there is not the package: start again from nothing
    WrongBytes,  // this mirror's whole answer is not the package
    Failed,      // this mirror did not give it (status, connection, ...)
    Cancelled,   // the job gave up meanwhile
    LocalFailure // the store cannot hold it: no mirror will help
};

// A mirror that cuts a connection again and again still gets this many requests for one
// package, as long as each one brought bytes, before the other mirror is tried.
constexpr int MaxRequestsPerMirror = 5;

// On Windows a file's name stays taken after the file is deleted for as long as anything else
// still holds it open (a virus scanner or the search indexer reading a package just written):
// creating a file under that name, or renaming one onto it, fails until the holder lets go,
// which takes moments. Such steps of the store are tried again after short pauses before they
// count as failed; a store that really cannot hold a file costs less than a second more.
constexpr int StoreRetryPausesMs[] = {20, 60, 180, 540};

template <typename Step>
bool retriedInStore(const Step &step)
{
    if (step())
        return true;
    for (const int pause : StoreRetryPausesMs) {
        platform::sleepMilliseconds(pause);
        if (step())
            return true;
    }
    return false;
}

// Makes dir and what is missing above it. The transfers of a job make their packages'
// directories side by side, and on Windows mkpath can fail when another thread makes a missing
// directory above it at the same moment: the first transfers of an install, each making
// "packages" on the way, then found no directory for their partial files and gave their
// packages up without asking the other mirror. Asked again, only the last step is left.
bool makeStoreDirectory(const QDir &dir)
{
    return retriedInStore([&] { return dir.mkpath(QStringLiteral(".")); });
}

// Opens file in mode as a new file, whatever was under its name removed first.
bool createInStore(QFile &file, QIODevice::OpenMode mode)
{
    return retriedInStore([&] {
        QFile::remove(file.fileName());
        return file.open(mode);
    });
}

// Gives a verified partial file its final name in the store, where the extraction finds it.
bool takeFinalName(const QString &partialPath, const QString &finalPath)
{
    return retriedInStore([&] { return QFile::rename(partialPath, finalPath); });
}

} // namespace

QString PackageRecord::packageFilePath() const
{
    return m_packageDir.filePath(m_version + QLatin1String(m_isPatch ? PatchFileSuffix : PackageFileSuffix));
}

bool PackageRecord::isStoreFileName(const QString &fileName)
{
    for (const char *suffix : {PackageFileSuffix, PatchFileSuffix}) {
        const QString partial = QLatin1String(suffix) + QLatin1String(PartialFileSuffix);
        if (fileName.endsWith(QLatin1String(suffix)) || fileName.endsWith(partial)
            || fileName.endsWith(partial + QLatin1String(ResumeTagSuffix)))
            return true;
    }
    return false;
}

bool PackageRecord::verifyPackageFile(const QString &path) const
{
    // Closed again before the caller removes or renames it: Windows does neither to an open file.
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && verifyPackage(file);
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
    TransferConnection connection;
    MirrorRanking mirrors = packageMirrorRanking();
    return downloadPackage(connection, TransferLimits(), mirrors, 0, nullptr);
}

namespace {

// One request for record's file from url into partialPath, resumed when a partial file and its
// tag are there. On Verified the file has its final name.
Attempt requestPackage(const PackageRecord &record, const QUrl &url, TransferConnection &connection,
                       const TransferLimits &limits, const std::atomic<bool> *cancel, int unitIndex,
                       InFlightTransfers *inFlight)
{
    const QString finalPath = record.packageFilePath();
    const QString partialPath = finalPath + QLatin1String(PartialFileSuffix);
    const QString tagPath = partialPath + QLatin1String(ResumeTagSuffix);
    const QString tag = readResumeTag(tagPath);
    const qint64 limit = record.hasSignedContent() ? record.size() : -1;

    QFile partial(partialPath);
    qint64 resumeFrom = 0;
    if (!tag.isEmpty() && partial.size() > 0 && (limit < 0 || partial.size() <= limit)
        && partial.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        resumeFrom = partial.size();
    } else {
        // A new file rather than a truncated one: closing a file that was emptied and written
        // again makes the file system write it all back at once.
        QFile::remove(tagPath);
        if (!createInStore(partial, QIODevice::WriteOnly | QIODevice::Unbuffered))
            return Attempt::LocalFailure;
    }

    PackageTarget target(&partial, tagPath, resumeFrom, limit, limits.pieceBytes, inFlight, record,
                         unitIndex);
    if (resumeFrom > 0 && !target.takeExisting())
        return Attempt::Broken;
    HttpTransfer transfer(url, &target, limits, &connection);
    target.setTransfer(&transfer);
    transfer.setCancelFlag(cancel);
    if (resumeFrom > 0) {
        transfer.requestHeaders.insert(QStringLiteral("Range"), QStringLiteral("bytes=%1-").arg(resumeFrom));
        transfer.requestHeaders.insert(QStringLiteral("If-Range"), tag);
    }
    const int result = transfer.perform();
    DigestingWriter &writer = target.writer();
    const bool written = writer.finish();
    const PackageTarget::HandOver handOver = target.leaveInFlight();
    if (cancel && cancel->load())
        return Attempt::Cancelled;
    if (handOver != PackageTarget::HandOver::None) {
        // Part of the file came over another connection, and nothing vouched for it as it
        // came: the whole file is checked now, as pieces are. A file left with a gap, or not
        // the package, starts again from nothing (its tag is gone already).
        if (!written)
            return Attempt::Failed;
        if (handOver == PackageTarget::HandOver::Incomplete)
            return Attempt::Broken;
        partial.close();
        if (partial.error() != QFileDevice::NoError)
            return Attempt::Failed;
        if (!record.verifyPackageFile(partialPath))
            return Attempt::Broken;
        return takeFinalName(partialPath, finalPath) ? Attempt::Verified : Attempt::LocalFailure;
    }
    if (target.answer() == PackageTarget::Answer::WrongRange)
        return Attempt::Broken;
    if (!written)
        return Attempt::Failed;
    const bool bodyCame = target.answer() == PackageTarget::Answer::Continued
        || target.answer() == PackageTarget::Answer::Replaced;
    if (result == 200 || result == 206) {
        if (!bodyCame && result == 206)
            return Attempt::Broken;
        const bool verified = writer.digest() == record.digest()
            && (!record.hasSignedContent()
                || (writer.received() == record.size() && writer.sha256() == record.sha256()));
        if (!verified)
            return target.answer() == PackageTarget::Answer::Continued ? Attempt::Broken
                                                                       : Attempt::WrongBytes;
        platform::startWriteBack(partial);
        // A full disk may only show when the file is closed.
        partial.close();
        if (partial.error() != QFileDevice::NoError)
            return Attempt::Failed;
        // A verified file that did not get its final name is not there for the extraction.
        if (!takeFinalName(partialPath, finalPath))
            return Attempt::LocalFailure;
        QFile::remove(tagPath);
        return Attempt::Verified;
    }
    // A server that cannot give the part asked for (the file is shorter now) gives it whole.
    if (result == 416)
        return Attempt::Broken;
    if (result == CURLE_OPERATION_TIMEDOUT)
        return Attempt::Stalled;
    if (bodyCame && target.written() > 0 && QFile::exists(tagPath))
        return Attempt::Cut;
    return Attempt::Failed;
}

} // namespace

bool PackageRecord::downloadPackage(TransferConnection &connection, const TransferLimits &limits,
                                    MirrorRanking &mirrors, int index, const std::atomic<bool> *cancel,
                                    InFlightTransfers *inFlight) const
{
    const QString finalPath = packageFilePath();
    if (QFile::exists(finalPath) && !QFile::remove(finalPath))
        return false;
    // The store's directory is made only now, for a package that is really fetched.
    if (!makeStoreDirectory(m_packageDir))
        return false;
    const QString partialPath = finalPath + QLatin1String(PartialFileSuffix);
    const QString tagPath = partialPath + QLatin1String(ResumeTagSuffix);

    const int first = mirrors.first(index);
    bool givenUp = false;
    for (int turn = 0; turn < 2 && !givenUp; ++turn) {
        const int mirror = turn == 0 ? first : 1 - first;
        const QUrl url = mirrorUrl(*this, mirror);
        bool startedAfresh = false;
        for (int request = 0; request < MaxRequestsPerMirror; ++request) {
            const Attempt attempt = requestPackage(*this, url, connection, limits, cancel, index, inFlight);
            if (attempt == Attempt::Verified)
                return true;
            if (attempt == Attempt::Cut)
                continue;
            if (attempt == Attempt::Broken || attempt == Attempt::WrongBytes) {
                QFile::remove(tagPath);
                QFile::remove(partialPath);
                // What went wrong may be the bytes kept from before: once more from nothing.
                if (attempt == Attempt::Broken && !startedAfresh) {
                    startedAfresh = true;
                    continue;
                }
            }
            givenUp = attempt == Attempt::Cancelled || attempt == Attempt::LocalFailure;
            if (!givenUp)
                mirrors.failed(mirror);
            break;
        }
    }
    // Bytes that a tag vouches for are kept for the next try; nothing else of a failed
    // download is (a server can make it as large as it likes).
    if (!QFile::exists(tagPath))
        QFile::remove(partialPath);
    return false;
}

namespace {

// A package of at least twice a job's piece size (by its signed size, else the size the
// manifest lists) is fetched in pieces of at most that size, each a request of its own on
// whichever transfer is free. The transfers share the line about equally, so a package in one
// transfer gets only its share of it: a 24 MiB package among six transfers was the last one in
// by seconds, alone on the line at the end with a window too small to fill it, and under random
// loss one connection cannot fill the line at all. In pieces it takes several shares. Smaller
// packages come whole: each piece costs a request round trip.
//
// The piece size is the job's: about two pieces for each transfer of what the job fetches, so
// that the transfers end together. An update that fetches 10 MB in 16 packages had one transfer
// left with a whole 1 MB package at the end, a quarter of a second after the others; the pieces
// of an install's 100 MB are the most a piece may be. Never less than MinPieceBytes, where the
// request round trip would cost more than the balance brings.
constexpr qint64 PieceBytes = 4 * 1024 * 1024;
constexpr qint64 MinPieceBytes = 256 * 1024;
constexpr int PiecesPerTransfer = 2;

// The piece size of a job whose packages to fetch list fetchedBytes, run by concurrentTransfers.
qint64 jobPieceBytes(qint64 fetchedBytes, int concurrentTransfers)
{
    return std::clamp<qint64>(fetchedBytes / (PiecesPerTransfer * std::max(concurrentTransfers, 1)),
                              MinPieceBytes, PieceBytes);
}

// The target of one request for a piece of a package. At the first byte of the body it knows
// the answer: a 206 for exactly the bytes asked for, of a file of the expected size, goes into
// the package's partial file where the piece belongs; a 200 (the server sends the file whole)
// or any other range means the server does not give this package in pieces, and ends the
// transfer; any other status is not the package, and its body is dropped. The piece is a range
// of the job's transfers in flight: where a helper takes over its end, the transfer ends there.
class PieceTarget : public QIODevice {
public:
    enum class Answer { None, Piece, NoPieces, NotThePackage, NotClaimed };

    // Claims, at the first byte of a helper's answer, what is left of the part it asked for:
    // the first byte it is to bring, or -1 when nothing is left (the transfer then ends).
    using Claim = std::function<qint64(qint64 askedFrom)>;

    // file: the package's partial file, open for writing, of range.total bytes; range: the piece,
    // asked for as bytes from to last; claim (may be empty): a helper's.
    PieceTarget(QFile *file, InFlightTransfers &inFlight, InFlightTransfers::Range &range, qint64 from,
                qint64 last, const Claim &claim)
        : m_file(file), m_inFlight(inFlight), m_range(range), m_from(from), m_last(last), m_claim(claim)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    void setTransfer(const HttpTransfer *transfer) { m_transfer = transfer; }

    Answer answer() const { return m_answer; }
    qint64 written() const { return m_written; }
    bool writeFailed() const { return m_writeFailed; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        if (m_answer == Answer::None)
            m_answer = decide();
        if (m_answer == Answer::NotThePackage)
            return length;
        if (m_answer != Answer::Piece)
            return -1;
        // A helper's answer begins with what its range's first transfer brought meanwhile.
        const qint64 skipped = std::min(length, m_skip);
        m_skip -= skipped;
        const qint64 taken = m_inFlight.take(m_range, length - skipped);
        if (taken > 0 && m_file->write(data + skipped, taken) != taken) {
            m_writeFailed = true;
            return -1;
        }
        m_written += taken;
        if (taken == length - skipped)
            return length;
        // More than was asked for is not the piece asked for, unless a helper took over the rest.
        if (!m_inFlight.handedOver(m_range))
            m_answer = Answer::NoPieces;
        return -1;
    }

private:
    Answer decide()
    {
        const int status = m_transfer->currentStatus();
        if (status == 200)
            return Answer::NoPieces;
        if (status != 206)
            return Answer::NotThePackage;
        qint64 first, last, total;
        const bool asked =
            parseContentRange(headerAnyCase(m_transfer->responseHeaders, QStringLiteral("Content-Range")),
                              &first, &last, &total)
            && first == m_from && last == m_last && total == m_range.total;
        if (!asked)
            return Answer::NoPieces;
        const qint64 start = m_claim ? m_claim(m_from) : m_from;
        if (start < 0)
            return Answer::NotClaimed;
        m_skip = start - m_from;
        return m_file->seek(start) ? Answer::Piece : Answer::NoPieces;
    }

    QFile *m_file;
    InFlightTransfers &m_inFlight;
    InFlightTransfers::Range &m_range;
    qint64 m_from;
    qint64 m_last;
    Claim m_claim;
    const HttpTransfer *m_transfer = nullptr;
    Answer m_answer = Answer::None;
    qint64 m_skip = 0;
    qint64 m_written = 0;
    bool m_writeFailed = false;
};

enum class PieceOutcome { In, NoPieces, Failed, Stalled, Cancelled, LocalFailure, NotClaimed };

// Asks url for the bytes of range, a part of a package file, and writes them into file where
// they belong. A connection cut after some bytes costs only those: the rest of the
// range is asked for again, as long as each answer brings bytes. claim: a helper's, for its first
// request.
PieceOutcome fetchPiece(const QUrl &url, QFile &file, InFlightTransfers &inFlight,
                        InFlightTransfers::Range &range, TransferConnection &connection,
                        const TransferLimits &limits, const std::atomic<bool> *cancel,
                        const PieceTarget::Claim &claim = {})
{
    for (int request = 0; request < MaxRequestsPerMirror; ++request) {
        qint64 from, last;
        inFlight.bounds(range, &from, &last);
        if (from > last)
            return PieceOutcome::In;
        PieceTarget target(&file, inFlight, range, from, last, request == 0 ? claim : PieceTarget::Claim());
        HttpTransfer transfer(url, &target, limits, &connection);
        target.setTransfer(&transfer);
        transfer.setCancelFlag(cancel);
        transfer.requestHeaders.insert(QStringLiteral("Range"),
                                       QStringLiteral("bytes=%1-%2").arg(from).arg(last));
        const int result = transfer.perform();
        if (cancel && cancel->load())
            return PieceOutcome::Cancelled;
        if (target.writeFailed())
            return PieceOutcome::LocalFailure;
        if (target.answer() == PieceTarget::Answer::NoPieces)
            return PieceOutcome::NoPieces;
        if (target.answer() == PieceTarget::Answer::NotClaimed)
            return PieceOutcome::NotClaimed;
        inFlight.bounds(range, &from, &last);
        if (from > last)
            return result == 206 || inFlight.handedOver(range) ? PieceOutcome::In : PieceOutcome::Failed;
        if (result == CURLE_OPERATION_TIMEDOUT)
            return PieceOutcome::Stalled;
        if (target.written() == 0)
            return PieceOutcome::Failed;
    }
    return PieceOutcome::Failed;
}

// What the transfers of one package's pieces share. Its store files belong to them until the
// last one ends: that one verifies the whole file and gives it its final name.
struct PieceSet {
    explicit PieceSet(int count) : pieces(count) {}
    std::mutex mutex;
    const int pieces;
    int ended = 0;         // under mutex
    bool prepared = false; // under mutex
    bool inStore = false;  // the store held it verified already; under mutex
    bool whole = false;    // not to be had in pieces: fetched whole at the end; under mutex
};

// One transfer of a job: a whole package, or one piece of one.
struct TransferUnit {
    int package;
    int piece; // -1: the whole package
    qint64 from;
    qint64 last;
    qint64 weight; // bytes it is expected to bring, for the order the transfers start in
    std::shared_ptr<PieceSet> pieces;
};

// The units of packages: each package whole, or in pieces where it is large, is fetched at all
// (patched: not) and the transfers run side by side. stored: per package, whether it most likely
// needs no transfer; those do not count towards the job's piece size, and in the rare case that
// one is fetched after all, it comes in pieces of the most a piece may be.
std::vector<TransferUnit> transferUnits(const QList<PackageRecord> &packages,
                                        const QHash<QString, VersionEntry::PatchedFile> &patched,
                                        int concurrentTransfers, const std::vector<bool> &stored)
{
    qint64 fetchedBytes = 0;
    for (int index = 0; index < packages.size(); ++index) {
        if (!stored[size_t(index)])
            fetchedBytes += std::max<qint64>(packages.at(index).expectedSize(), 0);
    }
    const qint64 jobPiece = jobPieceBytes(fetchedBytes, concurrentTransfers);
    std::vector<TransferUnit> units;
    for (int index = 0; index < packages.size(); ++index) {
        const PackageRecord &package = packages.at(index);
        const qint64 size = package.expectedSize();
        const qint64 pieceBytes = stored[size_t(index)] ? PieceBytes : jobPiece;
        if (concurrentTransfers < 2 || size < 2 * pieceBytes || package.isPatch()
            || patched.contains(package.name())) {
            units.push_back({index, -1, 0, -1, std::max<qint64>(size, 0), nullptr});
            continue;
        }
        const int count = int((size + pieceBytes - 1) / pieceBytes);
        const qint64 length = (size + count - 1) / count;
        auto set = std::make_shared<PieceSet>(count);
        for (int piece = 0; piece < count; ++piece) {
            const qint64 from = piece * length;
            const qint64 last = std::min(size, from + length) - 1;
            units.push_back({index, piece, from, last, last + 1 - from, set});
        }
    }
    return units;
}

// The order the transfers start in: by turns the largest and the smallest of those left (the
// sizes the manifest lists; a size it does not list counts as 0). Started late, a large one is
// the last in by far, and its extraction, which cannot begin before, is left alone at the end.
// Small packages (sources: a hundred files in 100 KB) cost the extractor most per byte: left to
// the end, they kept it busy for 3 s after the last byte. Taken by turns, both spread over the
// transfer, which ends with packages of middle size. The units that are most likely local
// (local[index]) come after all others, in the same order among themselves.
std::vector<int> startOrder(const std::vector<TransferUnit> &units, const std::vector<bool> &local)
{
    std::vector<int> order;
    order.reserve(units.size());
    for (const bool localOnes : {false, true}) {
        std::vector<int> bySize;
        for (size_t index = 0; index < units.size(); ++index) {
            if (local[index] == localOnes)
                bySize.push_back(int(index));
        }
        std::stable_sort(bySize.begin(), bySize.end(),
                         [&](int a, int b) { return units[size_t(a)].weight > units[size_t(b)].weight; });
        for (size_t large = 0, small = bySize.size(); large < small;) {
            order.push_back(bySize[large++]);
            if (large < small)
                order.push_back(bySize[--small]);
        }
    }
    return order;
}

// Makes way for the pieces of package, total bytes: a partial file of that size, nothing else
// of the package in the store. False when the store cannot hold it.
bool startPieces(const PackageRecord &package, qint64 total)
{
    const QString finalPath = package.packageFilePath();
    const QString partialPath = finalPath + QLatin1String(PartialFileSuffix);
    if (QFile::exists(finalPath) && !QFile::remove(finalPath))
        return false;
    if (!makeStoreDirectory(package.packageDir()))
        return false;
    // Its bytes come in any order: no tag may vouch for them as the beginning of the file.
    QFile::remove(partialPath + QLatin1String(ResumeTagSuffix));
    QFile partial(partialPath);
    return createInStore(partial, QIODevice::WriteOnly | QIODevice::NewOnly) && partial.resize(total);
}

// One piece of a package, from the mirror that comes first for it, else from the other. Not
// before a helper that took over its end is done: false when that one failed.
PieceOutcome fetchPieceFromMirrors(const PackageRecord &package, const TransferUnit &unit, int unitIndex,
                                   TransferConnection &connection, const TransferLimits &limits,
                                   MirrorRanking &mirrors, const std::atomic<bool> *cancel,
                                   InFlightTransfers &inFlight)
{
    QFile file(package.packageFilePath() + QLatin1String(PartialFileSuffix));
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return PieceOutcome::LocalFailure;
    const qint64 total = file.size();
    const std::shared_ptr<InFlightTransfers::Range> range =
        inFlight.enter(package, unitIndex, unit.from, unit.last, total);
    const int first = mirrors.first(unitIndex);
    PieceOutcome outcome = PieceOutcome::Failed;
    for (int turn = 0; turn < 2; ++turn) {
        const int mirror = turn == 0 ? first : 1 - first;
        outcome = fetchPiece(mirrorUrl(package, mirror), file, inFlight, *range, connection, limits, cancel);
        if (outcome != PieceOutcome::Failed && outcome != PieceOutcome::Stalled)
            break;
        mirrors.failed(mirror);
    }
    if (!inFlight.leave(*range) && outcome == PieceOutcome::In)
        outcome = PieceOutcome::Failed;
    if (outcome == PieceOutcome::In)
        platform::startWriteBack(file);
    file.close();
    if (outcome == PieceOutcome::In && file.error() != QFileDevice::NoError)
        return PieceOutcome::LocalFailure;
    return outcome;
}

// A unit that is a piece of package. True unless it was the last of its package's pieces to end
// and the package could not be had; that last one verifies the whole file and gives it its
// final name, or, where the pieces could not be had, fetches the package whole.
bool fetchInPieces(const PackageRecord &package, const TransferUnit &unit, int unitIndex,
                   TransferConnection &connection, const TransferLimits &limits, MirrorRanking &mirrors,
                   const std::atomic<bool> *cancel, InFlightTransfers &inFlight, bool *arrived)
{
    PieceSet &set = *unit.pieces;
    bool skipped;
    {
        std::lock_guard<std::mutex> lock(set.mutex);
        if (!set.prepared) {
            set.prepared = true;
            set.inStore = package.verifyPackageFile(package.packageFilePath());
            const qint64 total = package.expectedSize();
            set.whole = !set.inStore && !startPieces(package, total);
        }
        skipped = set.inStore || set.whole;
    }
    const PieceOutcome outcome = skipped
        ? PieceOutcome::In
        : fetchPieceFromMirrors(package, unit, unitIndex, connection, limits, mirrors, cancel, inFlight);
    {
        std::lock_guard<std::mutex> lock(set.mutex);
        if (outcome != PieceOutcome::In)
            set.whole = true;
        if (++set.ended < set.pieces)
            return true;
    }
    if (cancel && cancel->load())
        return false;
    *arrived = set.inStore;
    if (set.inStore)
        return true;
    const QString finalPath = package.packageFilePath();
    const QString partialPath = finalPath + QLatin1String(PartialFileSuffix);
    if (!set.whole) {
        // Nothing vouched for the pieces as they came: the whole file is checked now.
        if (package.verifyPackageFile(partialPath) && takeFinalName(partialPath, finalPath)) {
            *arrived = true;
            return true;
        }
    }
    // A server that does not give pieces, or pieces that do not make the package: whole, once
    // more, by the road that resumes and falls back to the other mirror.
    QFile::remove(partialPath);
    *arrived = package.downloadPackage(connection, limits, mirrors, unitIndex, cancel, &inFlight);
    return *arrived;
}

} // namespace

std::shared_ptr<InFlightTransfers::Range> InFlightTransfers::enter(const PackageRecord &package,
                                                                   int unitIndex, qint64 next, qint64 last,
                                                                   qint64 total, const QString &tagPath)
{
    auto range = std::make_shared<Range>();
    range->package = &package;
    range->unitIndex = unitIndex;
    range->total = total;
    range->next = range->firstNext = range->sampledNext = next;
    range->last = last;
    range->started = range->sampled = std::chrono::steady_clock::now();
    range->tagPath = tagPath;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ranges.push_back(range);
    return range;
}

void InFlightTransfers::bounds(const Range &range, qint64 *next, qint64 *last)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    *next = range.next;
    *last = range.last;
}

qint64 InFlightTransfers::take(Range &range, qint64 length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 taken = std::clamp<qint64>(range.last + 1 - range.next, 0, length);
    range.next += taken;
    const auto now = std::chrono::steady_clock::now();
    if (now - range.sampled >= RateWindow) {
        range.recentRate = double(range.next - range.sampledNext)
            / std::chrono::duration<double>(now - range.sampled).count();
        range.sampled = now;
        range.sampledNext = range.next;
    }
    return taken;
}

bool InFlightTransfers::handedOver(const Range &range)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return range.handedOver;
}

bool InFlightTransfers::leave(Range &range)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    range.ended = true;
    m_ranges.erase(std::remove_if(m_ranges.begin(), m_ranges.end(),
                                  [&](const std::shared_ptr<Range> &r) { return r.get() == &range; }),
                   m_ranges.end());
    // A helper that has only asked finds the range ended and lets it be; one that works on its
    // end writes into its file.
    m_released.wait(lock, [&] { return range.help != Range::Help::Working; });
    return !range.helperFailed;
}

std::shared_ptr<InFlightTransfers::Range> InFlightTransfers::pick(double roundTrip, long takeOverAfterMs,
                                                                  qint64 *from, qint64 *last)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    std::shared_ptr<Range> slowest;
    const auto after = std::chrono::milliseconds(takeOverAfterMs);
    double slowestLeft = std::max(std::chrono::duration<double>(after).count(), 2 * roundTrip);
    double slowestRate = 0;
    for (const std::shared_ptr<Range> &range : m_ranges) {
        const qint64 rest = range->last + 1 - range->next;
        const auto observed = now - range->started;
        if (range->help != Range::Help::None || range->refused || rest < 2 * MinHandOverBytes
            || observed < after)
            continue;
        // The seconds it needs at its recent rate: that of the window now running where it is
        // longer than one (a transfer that stopped), else that of the last window, else its
        // average. Having brought nothing yet, at least as long again.
        const double seconds = std::chrono::duration<double>(observed).count();
        const double sinceSample = std::chrono::duration<double>(now - range->sampled).count();
        double rate = double(range->next - range->firstNext) / seconds;
        if (now - range->sampled >= RateWindow)
            rate = double(range->next - range->sampledNext) / sinceSample;
        else if (range->recentRate >= 0)
            rate = range->recentRate;
        const double left = range->next == range->firstNext ? seconds
            : rate > 0                                      ? double(rest) / rate
                                                            : std::numeric_limits<double>::max();
        if (left >= slowestLeft) {
            slowest = range;
            slowestLeft = left;
            slowestRate = rate;
        }
    }
    if (slowest) {
        slowest->help = Range::Help::Asked;
        const qint64 rest = slowest->last + 1 - slowest->next;
        const qint64 kept =
            std::clamp<qint64>(qint64(slowestRate * KeptRoundTrips * roundTrip), MinHandOverBytes, rest / 2);
        *from = slowest->next + kept;
        *last = slowest->last;
    }
    return slowest;
}

qint64 InFlightTransfers::claim(Range &victim, const std::shared_ptr<Range> &own, qint64 askedFrom)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 from = std::max(askedFrom, victim.next);
    if (victim.ended || from > victim.last)
        return -1;
    victim.last = from - 1;
    victim.handedOver = true;
    victim.help = Range::Help::Working;
    if (!victim.tagPath.isEmpty())
        QFile::remove(victim.tagPath);
    own->next = own->firstNext = own->sampledNext = from;
    own->started = own->sampled = std::chrono::steady_clock::now();
    m_ranges.push_back(own);
    return from;
}

void InFlightTransfers::release(Range &victim, bool claimed, bool brought)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        victim.help = Range::Help::None;
        victim.refused = victim.refused || !claimed;
        victim.helperFailed = victim.helperFailed || (claimed && !brought);
    }
    m_released.notify_all();
}

bool InFlightTransfers::helpOne(TransferConnection &connection, const TransferLimits &limits,
                                MirrorRanking &mirrors, const std::atomic<bool> *cancel)
{
    qint64 from = 0;
    qint64 last = 0;
    const std::shared_ptr<Range> victim =
        pick(connection.lastAnswerWait(), limits.takeOverAfterMs, &from, &last);
    if (!victim)
        return false;
    const PackageRecord &package = *victim->package;
    auto own = std::make_shared<Range>();
    own->package = &package;
    own->unitIndex = victim->unitIndex;
    own->total = victim->total;
    own->next = own->firstNext = from;
    own->last = last;
    bool claimed = false;
    PieceOutcome outcome = PieceOutcome::Failed;
    {
        // The file is there for as long as its range is: never made here.
        QFile file(package.packageFilePath() + QLatin1String(PartialFileSuffix));
        if (file.open(QIODevice::ReadWrite | QIODevice::Unbuffered | QIODevice::ExistingOnly)) {
            const PieceTarget::Claim claim = [&](qint64 askedFrom) {
                const qint64 start = this->claim(*victim, own, askedFrom);
                claimed = start >= 0;
                return start;
            };
            // The other mirror first, where there are two: the range may be slow for its server's sake.
            const int first = mirrors.first(victim->unitIndex + 1);
            for (int turn = 0; turn < 2; ++turn) {
                const int mirror = turn == 0 ? first : 1 - first;
                outcome = fetchPiece(mirrorUrl(package, mirror), file, *this, *own, connection, limits,
                                     cancel, claimed ? PieceTarget::Claim() : claim);
                // Before its part is claimed a helper tries once: it is only worth it where the
                // answer comes at once.
                if (!claimed || (outcome != PieceOutcome::Failed && outcome != PieceOutcome::Stalled))
                    break;
            }
            if (claimed && !leave(*own))
                outcome = PieceOutcome::Failed;
            file.close();
            if (outcome == PieceOutcome::In && file.error() != QFileDevice::NoError)
                outcome = PieceOutcome::LocalFailure;
        }
    }
    release(*victim, claimed, outcome == PieceOutcome::In);
    return true;
}

void VersionEntry::connectAhead()
{
    // An installed version most likely has every package in the store: an update that finds
    // nothing new must not cost the servers a handful of connections at every check.
    if (QFileInfo::exists(m_versionDir.filePath(QLatin1String(LocalManifestFileName))))
        return;
    // One for each transfer but the first, which goes on over the manifest's connection, to
    // the mirror it asks first.
    MirrorRanking mirrors = packageMirrorRanking();
    QStringList servers;
    for (int transfer = 1; transfer < m_limits.concurrentTransfers; ++transfer)
        servers.append(PackageMirrors[mirrors.first(transfer)].base());
    m_ahead = std::make_shared<ConnectionsAhead>();
    m_ahead->open(servers, m_limits);
}

bool VersionEntry::downloadAfterManifest(const PackageRecord &file)
{
    MirrorRanking mirrors = packageMirrorRanking();
    return file.downloadPackage(*m_connection, m_limits, mirrors, 0, nullptr);
}

bool VersionEntry::downloadPackages(PackageArrivals *arrivals)
{
    MirrorRanking mirrors = packageMirrorRanking();
    TransferPool pool(m_limits.concurrentTransfers);
    const TransferLimits pooled = m_limits.sharedAmong(m_limits.concurrentTransfers);
    // Declared before the pool runs: its ranges outlive every transfer.
    InFlightTransfers inFlight;
    pool.setHelper([&](TransferConnection &connection, const std::atomic<bool> &cancel) {
        return inFlight.helpOne(connection, pooled, mirrors, &cancel);
    });
    // A package whose file is in the store at its expected size most likely needs only its
    // check (an update's unchanged packages).
    std::vector<bool> stored(size_t(m_packages.size()));
    for (int index = 0; index < m_packages.size(); ++index) {
        const PackageRecord &package = m_packages.at(index);
        const QFileInfo file(package.packageFilePath());
        stored[size_t(index)] = m_patchedPackages.contains(package.name())
            || (file.isFile() && (package.expectedSize() < 0 || file.size() == package.expectedSize()));
    }
    const std::vector<TransferUnit> units =
        transferUnits(m_packages, m_patchedPackages, m_limits.concurrentTransfers, stored);
    // A stored file is checked on a pool thread too: the checks of an update overlap the
    // transfers of the packages that changed.
    // A connection set up ahead is worth waiting for about as long as a new one would take.
    const long aheadWaitMs =
        std::clamp(long(2000 * m_connection->lastAnswerWait()), MinAheadWaitMs, ConnectionsAhead::MaxWaitMs);
    const auto fetch = [&](int index, TransferConnection &connection, const std::atomic<bool> &cancel) {
        const TransferUnit &unit = units[size_t(index)];
        const PackageRecord &package = m_packages.at(unit.package);
        if (m_ahead && connection.isNew() && !stored[size_t(unit.package)])
            connection.adopt(m_ahead->take(PackageMirrors[mirrors.first(index)].base(), aheadWaitMs));
        bool inStore = false;
        if (unit.pieces) {
            if (!fetchInPieces(package, unit, index, connection, pooled, mirrors, &cancel, inFlight,
                               &inStore))
                return false;
        } else {
            // Its one file stands ready without it (a patch made it from the installed copy).
            inStore = m_patchedPackages.contains(package.name());
            if (!inStore)
                inStore = package.verifyPackageFile(package.packageFilePath());
            if (!inStore)
                inStore = package.downloadPackage(connection, pooled, mirrors, index, &cancel, &inFlight);
        }
        // Its extraction need not wait for the packages before it.
        if (inStore && arrivals)
            arrivals->packageArrived(unit.package);
        return inStore || unit.pieces;
    };
    TransferPool::Listener listener;
    listener.announce = [&](int index) {
        const TransferUnit &unit = units[size_t(index)];
        if (unit.piece <= 0)
            m_sink->report(status_reports::DownloadStarted, m_version, m_packages.at(unit.package).name());
    };
    listener.failed = [&](int index) {
        if (arrivals)
            arrivals->packagesAbandoned();
        m_sink->report(status_reports::DownloadFailed, m_version,
                       m_packages.at(units[size_t(index)].package).name());
    };
    // The checks of the stored packages go on beside the transfers instead of before some.
    std::vector<bool> local(units.size());
    for (size_t index = 0; index < units.size(); ++index)
        local[index] = stored[size_t(units[index].package)];
    const bool succeeded =
        pool.run(int(units.size()), fetch, listener, startOrder(units, local), local, m_connection.get());
    // What the pool did not take is of no more use.
    m_ahead.reset();
    return succeeded;
}
