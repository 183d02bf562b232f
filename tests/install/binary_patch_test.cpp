// The patch applier against patches written entry by entry: good ones of every packing, and
// hostile ones that break each rule of the format. Runs on Linux and, under Wine, in the 32-bit
// Windows program, where sizes and lengths are 32 bits wide.
#include "install/binary_patch.h"
#include "patch_writer.h"

#include "platform/sha256.h"

#include <QBuffer>

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>

static std::ostream &operator<<(std::ostream &out, PatchStatus status)
{
    return out << patchStatusName(status);
}

namespace {

QByteArray randomBytes(int size, unsigned seed)
{
    std::mt19937 rng(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(rng() % 7 == 0 ? rng() : rng() % 16); // compressible, not trivially
    return data;
}

QByteArray sha256(const QByteArray &data)
{
    platform::Sha256 digest;
    digest.addData(data.constData(), data.size());
    return digest.result();
}

// Writes a patch together with the result it makes: copies from the base (with some bytes
// changed) and new bytes, in any order.
class PatchBuilder {
public:
    explicit PatchBuilder(const QByteArray &base) : m_base(base) {}

    // The result's next bytes are the base's from start on, with every changeEvery-th byte
    // changed (none when 0).
    PatchBuilder &copy(qint64 start, qint64 length, int changeEvery = 0)
    {
        m_content.addEntry(start - m_position, quint64(length), 0);
        for (qint64 i = 0; i < length; ++i) {
            const char wanted =
                char(m_base[int(start + i)] + (changeEvery && i % changeEvery == 0 ? 0x5a : 0));
            m_content.diff.append(char(wanted - m_base[int(start + i)]));
            m_result.append(wanted);
        }
        m_position = start + length;
        return *this;
    }
    PatchBuilder &add(const QByteArray &bytes)
    {
        m_content.addEntry(0, 0, quint64(bytes.size()));
        m_content.extra.append(bytes);
        m_result.append(bytes);
        return *this;
    }

    const QByteArray &result() const { return m_result; }
    PatchContent &content() { return m_content; }

    QByteArray write(bool compress = true) const
    {
        PatchPacking packing;
        packing.compress = compress;
        QByteArray patch;
        EXPECT_TRUE(writePatch(m_content, quint64(m_base.size()), sha256(m_base), quint64(m_result.size()),
                               sha256(m_result), packing, &patch));
        return patch;
    }

private:
    QByteArray m_base;
    PatchContent m_content;
    QByteArray m_result;
    qint64 m_position = 0;
};

// A random-access device over fixed bytes that fails the test on any read or seek outside them,
// where a QBuffer would quietly return less.
class StrictDevice : public QIODevice {
public:
    explicit StrictDevice(const QByteArray &data) : m_data(data) { open(ReadOnly | Unbuffered); }
    qint64 size() const override { return m_data.size(); }
    bool seek(qint64 position) override
    {
        EXPECT_TRUE(position >= 0 && position <= m_data.size()) << "seek to " << position;
        return position >= 0 && position <= m_data.size() && QIODevice::seek(position);
    }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        EXPECT_LE(pos() + max, m_data.size()) << "read past the end";
        const qint64 n = qMax<qint64>(0, qMin<qint64>(max, m_data.size() - pos()));
        memcpy(data, m_data.constData() + pos(), size_t(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
};

// Takes at most limit bytes, as a disk that fills up.
class FullDisk : public QIODevice {
public:
    explicit FullDisk(qint64 limit) : m_limit(limit) { open(WriteOnly | Unbuffered); }
    qint64 written() const { return m_written; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 size) override
    {
        const qint64 n = qMin(size, m_limit - m_written);
        m_written += n;
        return n > 0 ? n : -1;
    }

private:
    qint64 m_limit;
    qint64 m_written = 0;
};

struct Applied {
    PatchStatus status;
    QByteArray result;
    QByteArray digest;
};

Applied apply(const QByteArray &patch, const QByteArray &base)
{
    StrictDevice patchDevice(patch);
    StrictDevice baseDevice(base);
    Applied applied;
    QBuffer out(&applied.result);
    out.open(QIODevice::WriteOnly);
    applied.status = applyPatch(&patchDevice, &baseDevice, &out, &applied.digest);
    return applied;
}

// Sets a little-endian number of the given width at offset.
QByteArray withNumber(QByteArray patch, int offset, quint64 value, int bytes = 8)
{
    for (int i = 0; i < bytes; ++i)
        patch[offset + i] = char((value >> (8 * i)) & 0xff);
    return patch;
}

constexpr int StreamField = 96; // the first stream descriptor
constexpr int DescriptorSize = 24;

} // namespace

TEST(BinaryPatch, RebuildsTheResultFromStoredAndCompressedStreams)
{
    // Larger than the applier's buffers, so that every stream is read in several pieces, with
    // copies that move back and forth in the base.
    const QByteArray base = randomBytes(700 * 1024, 1);
    PatchBuilder builder(base);
    builder.copy(0, 300 * 1024, 97)
        .add(randomBytes(100 * 1024, 2))
        .copy(500 * 1024, 200 * 1024, 13)
        .copy(100, 1000)
        .add("x")
        .copy(300 * 1024, 1)
        .copy(700 * 1024 - 10, 10, 1);
    for (bool compress : {false, true}) {
        const QByteArray patch = builder.write(compress);
        const Applied applied = apply(patch, base);
        EXPECT_EQ(applied.status, PatchStatus::Applied) << compress;
        EXPECT_TRUE(applied.result == builder.result()) << compress;
        EXPECT_EQ(applied.digest, sha256(builder.result())) << compress;

        QBuffer patchDevice;
        patchDevice.setData(patch);
        patchDevice.open(QIODevice::ReadOnly);
        PatchHeader header;
        ASSERT_EQ(readPatchHeader(&patchDevice, &header), PatchStatus::Applied);
        EXPECT_EQ(header.baseSize, quint64(base.size()));
        EXPECT_EQ(header.resultSize, quint64(builder.result().size()));
        EXPECT_EQ(header.baseSha256, sha256(base));
        EXPECT_EQ(header.streams[patch::DiffStream].method,
                  compress ? patch::Method::Lzma : patch::Method::Stored);
        EXPECT_EQ(header.patchSize(), quint64(patch.size()));
    }

    // Empty files at either end.
    EXPECT_EQ(apply(PatchBuilder(base).write(), base).status, PatchStatus::Applied);
    PatchBuilder fromNothing({});
    fromNothing.add("new file");
    const Applied created = apply(fromNothing.write(), {});
    EXPECT_EQ(created.status, PatchStatus::Applied);
    EXPECT_EQ(created.result, QByteArray("new file"));
}

TEST(BinaryPatch, RefusesABaseOfAnotherSizeAndReportsOtherBytesOfTheSameSize)
{
    const QByteArray base = randomBytes(5000, 3);
    PatchBuilder builder(base);
    builder.copy(10, 4000, 50).add("tail");
    const QByteArray patch = builder.write();

    const Applied shorter = apply(patch, base.left(4999));
    EXPECT_EQ(shorter.status, PatchStatus::BaseMismatch);
    EXPECT_TRUE(shorter.result.isEmpty());

    QByteArray changed = base;
    changed[2000] = char(changed[2000] ^ 1);
    const Applied other = apply(patch, changed);
    EXPECT_EQ(other.status, PatchStatus::ResultMismatch);
    EXPECT_EQ(other.digest, sha256(other.result));
    EXPECT_NE(other.digest, sha256(builder.result()));
}

TEST(BinaryPatch, FailsOnDevicesItCannotUse)
{
    const QByteArray base = randomBytes(600 * 1024, 4);
    PatchBuilder builder(base);
    builder.copy(0, 600 * 1024, 7);
    const QByteArray patch = builder.write();

    // A full disk stops the result where it filled up.
    StrictDevice patchDevice(patch);
    StrictDevice baseDevice(base);
    FullDisk disk(100000);
    EXPECT_EQ(applyPatch(&patchDevice, &baseDevice, &disk), PatchStatus::WriteFailed);
    EXPECT_EQ(disk.written(), 100000);

    // Patch and base are read out of order: a device that cannot seek is refused before
    // anything is written.
    QByteArray written;
    QBuffer out(&written);
    out.open(QIODevice::WriteOnly);
    QBuffer closed;
    EXPECT_EQ(applyPatch(&patchDevice, &closed, &out), PatchStatus::ReadFailed);
    EXPECT_EQ(applyPatch(&closed, &baseDevice, &out), PatchStatus::ReadFailed);
    EXPECT_TRUE(written.isEmpty());
}

TEST(BinaryPatch, RefusesHeadersThatBreakTheFormat)
{
    const QByteArray base = randomBytes(3000, 5);
    PatchBuilder builder(base);
    builder.copy(0, 2000, 10).add(randomBytes(500, 6));
    const QByteArray good = builder.write();
    ASSERT_EQ(apply(good, base).status, PatchStatus::Applied);
    const int control = StreamField;
    const int diff = StreamField + DescriptorSize;
    const int extra = StreamField + 2 * DescriptorSize;
    const quint64 huge = quint64(1) << 63;
    const auto setByte = [&](int offset, char value) {
        QByteArray patch = good;
        patch[offset] = value;
        return patch;
    };

    const struct {
        const char *what;
        QByteArray patch;
        PatchStatus status;
    } cases[] = {
        {"empty", {}, PatchStatus::NotAPatch},
        {"other bytes", QByteArray(400, 'x'), PatchStatus::NotAPatch},
        {"a magic and no more", good.left(8), PatchStatus::Malformed},
        {"cut in the header", good.left(100), PatchStatus::Malformed},
        {"cut in the streams", good.left(good.size() - 1), PatchStatus::Malformed},
        {"a byte too many", good + 'x', PatchStatus::Malformed},
        {"a later version", withNumber(good, 8, 2, 4), PatchStatus::UnsupportedVersion},
        {"flags", withNumber(good, 12, 1, 4), PatchStatus::UnsupportedVersion},
        {"a base size past 2^63", withNumber(good, 16, huge), PatchStatus::Malformed},
        {"a result size past 2^63", withNumber(good, 24, huge), PatchStatus::Malformed},
        {"a result size off by one", withNumber(good, 24, quint64(builder.result().size() + 1)),
         PatchStatus::Malformed},
        {"a packed size that wraps the sum", withNumber(good, extra, ~quint64(0) - 100),
         PatchStatus::Malformed},
        {"an unknown method", setByte(diff + 16, 2), PatchStatus::Malformed},
        {"padding", setByte(control + 23, 1), PatchStatus::Malformed},
        {"lc + lp above 4", setByte(diff + 17, char(4 + 9 * 1)), PatchStatus::Malformed},
        {"properties out of range", setByte(diff + 17, char(225)), PatchStatus::Malformed},
        {"properties on a stored stream", withNumber(builder.write(false), control + 17, 1, 1),
         PatchStatus::Malformed},
        {"a stored stream whose sizes differ", withNumber(builder.write(false), control + 8, 5),
         PatchStatus::Malformed},
    };
    for (const auto &c : cases) {
        const Applied applied = apply(c.patch, base);
        EXPECT_EQ(applied.status, c.status) << c.what;
        EXPECT_TRUE(applied.result.isEmpty()) << c.what;
    }

    // A dictionary over the limit is refused, but only where the stream could use it: the limit
    // is the reader's memory. (The header is checked before any stream is read.)
    PatchBuilder large({});
    large.add(QByteArray(9 << 20, 'z'));
    QByteArray bigDictionary = large.write(false);
    bigDictionary[extra + 16] = char(patch::Method::Lzma);
    bigDictionary[extra + 17] = char(3 + 9 * (0 + 5 * 2)); // lc 3, lp 0, pb 2
    EXPECT_EQ(apply(withNumber(bigDictionary, extra + 18, 16u << 20, 4), {}).status, PatchStatus::Malformed);
    EXPECT_EQ(apply(withNumber(good, diff + 18, 0xffffffffu, 4), base).status, PatchStatus::Applied)
        << "a dictionary larger than a small stream is cut to it";
}

TEST(BinaryPatch, RefusesControlEntriesThatReachOutsideTheBaseOrTheResult)
{
    const QByteArray base = randomBytes(1000, 9);
    const quint64 maxNumber = quint64(std::numeric_limits<qint64>::max());
    // Each case: the control stream's numbers, and how many diff and extra bytes it comes with;
    // the result size is their sum.
    const struct {
        const char *what;
        std::vector<quint64> numbers;
        int diff;
        int extra;
        PatchStatus status;
    } cases[] = {
        {"a good one", {0, 500, 10, 2 * 400, 100, 0}, 600, 10, PatchStatus::Applied},
        {"a copy past the base's end", {2 * 900, 101, 0}, 101, 0, PatchStatus::Malformed},
        {"a seek past the end", {2 * 1001, 0, 1}, 0, 1, PatchStatus::Malformed},
        {"a seek to the end, then extra", {2 * 1000, 0, 1}, 0, 1, PatchStatus::Applied},
        {"a seek before the start", {1, 1, 0}, 1, 0, PatchStatus::Malformed},
        {"a seek back past the start", {0, 10, 0, 2 * 10 - 1 + 2, 1, 0}, 11, 0, PatchStatus::Malformed},
        {"the farthest seek back", {maxNumber, 1, 0}, 1, 0, PatchStatus::Malformed},
        {"the farthest seek forward", {maxNumber - 1, 1, 0}, 1, 0, PatchStatus::Malformed},
        {"an entry that makes nothing", {0, 0, 0, 0, 5, 0}, 5, 0, PatchStatus::Malformed},
        {"a copy beyond the result", {0, 6, 0}, 5, 0, PatchStatus::Malformed},
        {"extra beyond the result", {0, 0, 6}, 0, 5, PatchStatus::Malformed},
        {"lengths whose sum wraps", {0, maxNumber, maxNumber}, 5, 0, PatchStatus::Malformed},
        {"more copy than diff bytes", {0, 10, 0}, 5, 5, PatchStatus::Malformed},
        {"more extra than extra bytes", {0, 0, 10}, 5, 5, PatchStatus::Malformed},
        {"an entry after the result is made", {0, 5, 0, 0, 0, 1}, 5, 0, PatchStatus::Malformed},
        {"a number cut short", {0, 5}, 5, 0, PatchStatus::Malformed},
    };
    for (const auto &c : cases) {
        for (bool compress : {false, true}) {
            PatchContent content;
            for (quint64 n : c.numbers)
                content.addNumber(n);
            content.diff = QByteArray(c.diff, '\1');
            content.extra = QByteArray(c.extra, 'e');
            PatchPacking packing;
            packing.compress = compress;
            QByteArray patch;
            ASSERT_TRUE(writePatch(content, quint64(base.size()), sha256(base), quint64(c.diff + c.extra), {},
                                   packing, &patch));
            // A good control stream makes the right bytes; the test wrote no result digest.
            const Applied applied = apply(patch, base);
            const PatchStatus expected =
                c.status == PatchStatus::Applied ? PatchStatus::ResultMismatch : c.status;
            EXPECT_EQ(applied.status, expected) << c.what << (compress ? " compressed" : " stored");
            EXPECT_LE(applied.result.size(), c.diff + c.extra) << c.what;
        }
    }

    // Numbers in another form than the shortest, or longer than any the format allows.
    const QByteArray forms[] = {QByteArray("\x80\x00\x05\x00", 4),
                                QByteArray(9, '\xff') + QByteArray(1, '\x01'), QByteArray(12, '\x80')};
    for (const QByteArray &form : forms) {
        PatchContent content;
        content.control = form;
        content.diff = QByteArray(5, '\0');
        QByteArray patch;
        ASSERT_TRUE(writePatch(content, quint64(base.size()), {}, 5, {}, PatchPacking(), &patch));
        EXPECT_EQ(apply(patch, base).status, PatchStatus::Malformed) << form.toHex().constData();
    }
}

TEST(BinaryPatch, CorruptOrCutCompressedStreamsFailCleanly)
{
    const QByteArray base = randomBytes(400 * 1024, 10);
    PatchBuilder builder(base);
    builder.copy(1000, 300 * 1024, 31).add(randomBytes(90 * 1024, 11)).copy(0, 1000);
    const QByteArray good = builder.write();
    ASSERT_EQ(apply(good, base).status, PatchStatus::Applied);

    std::mt19937 rng(12);
    for (int round = 0; round < 300; ++round) {
        QByteArray patch = good;
        // Flip a byte of the streams (never the header: its own checks are tested above).
        const int at = patch::HeaderSize + int(rng() % quint32(patch.size() - patch::HeaderSize));
        patch[at] = char(patch[at] ^ char(1 + rng() % 255));
        const Applied applied = apply(patch, base);
        EXPECT_NE(applied.status, PatchStatus::Applied) << at;
        EXPECT_LE(applied.result.size(), builder.result().size());
    }

    // Each stream one byte shorter or longer than written, the header made to agree.
    PatchHeader header;
    QBuffer device;
    device.setData(good);
    device.open(QIODevice::ReadOnly);
    ASSERT_EQ(readPatchHeader(&device, &header), PatchStatus::Applied);
    for (int stream = 0; stream < patch::StreamCount; ++stream) {
        quint64 offset = patch::HeaderSize;
        for (int i = 0; i <= stream; ++i)
            offset += header.streams[size_t(i)].packedSize;
        const int descriptor = StreamField + stream * DescriptorSize;
        const quint64 packed = header.streams[size_t(stream)].packedSize;
        QByteArray shorter = withNumber(good, descriptor, packed - 1);
        shorter.remove(int(offset) - 1, 1);
        QByteArray longer = withNumber(good, descriptor, packed + 1);
        longer.insert(int(offset), '\0');
        EXPECT_EQ(apply(shorter, base).status, PatchStatus::Malformed) << stream;
        EXPECT_EQ(apply(longer, base).status, PatchStatus::Malformed) << stream;
    }
}
