#include "install/lzma_stream.h"

#include "support/temp_home.h"
#include "support/tools.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

namespace {

// Mixed content larger than the decoder's 64 KiB buffers: random bytes do not compress,
// text does, so both the input and the output side run through several refills.
QByteArray sampleData()
{
    QByteArray data;
    std::mt19937 rng(7);
    for (int i = 0; i < 100000; ++i)
        data.append(char(rng()));
    for (int i = 0; i < 20000; ++i)
        data.append(QByteArray::number(i) + " lines of text\n");
    return data;
}

QByteArray xzAlone(const QByteArray &data)
{
    QByteArray out;
    QTemporaryDir dir;
    return runTool(QStringLiteral("xz"), {"--format=lzma", "-c"}, dir.path(), data, &out) == 0 ? out
                                                                                               : QByteArray();
}

// lzmp declares the size in the header (and writes no end marker) when it reads a file.
QByteArray lzmpSized(const QByteArray &data)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("in"));
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return {};
    file.close();
    return runTool(QStringLiteral("sh"), {"-c", "lzmp -k -c in > out"}, dir.path()) == 0
        ? readFile(dir.filePath("out"))
        : QByteArray();
}

void setDeclaredSize(QByteArray &stream, quint64 size)
{
    for (int i = 0; i < 8; ++i)
        stream[5 + i] = char((size >> (8 * i)) & 0xff);
}

bool decode(const QByteArray &stream, QByteArray *decoded)
{
    QBuffer in;
    in.setData(stream);
    in.open(QIODevice::ReadOnly);
    QBuffer out(decoded);
    out.open(QIODevice::WriteOnly);
    return decodeLzmaStream(&in, &out);
}

// A device that hands out at most a few bytes per read, like a pipe.
class TrickleDevice : public QIODevice {
public:
    explicit TrickleDevice(const QByteArray &data) : m_data(data) { open(ReadOnly); }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin<qint64>(qMin<qint64>(max, 7), m_data.size() - m_pos);
        memcpy(data, m_data.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_pos = 0;
};

} // namespace

TEST(LzmaStream, DecodesUnknownSizeWithEndMarkerAndKnownSizeWithout)
{
    const QByteArray data = sampleData();

    const QByteArray unknownSize = xzAlone(data);
    ASSERT_FALSE(unknownSize.isEmpty());
    ASSERT_EQ(unknownSize.mid(5, 8), QByteArray(8, '\xff'));
    QByteArray decoded;
    EXPECT_TRUE(decode(unknownSize, &decoded));
    EXPECT_EQ(decoded, data);

    // lzmp writes the size into the header and no end marker.
    const QByteArray knownSize = lzmpSized(data);
    ASSERT_FALSE(knownSize.isEmpty());
    QByteArray sized = knownSize;
    setDeclaredSize(sized, quint64(data.size()));
    ASSERT_EQ(sized, knownSize) << "lzmp should declare the size";
    decoded.clear();
    EXPECT_TRUE(decode(knownSize, &decoded));
    EXPECT_EQ(decoded, data);

    // A declared size together with an end marker is valid as well.
    QByteArray both = unknownSize;
    setDeclaredSize(both, quint64(data.size()));
    decoded.clear();
    EXPECT_TRUE(decode(both, &decoded));
    EXPECT_EQ(decoded, data);

    // An empty payload.
    decoded = "x";
    decoded.clear();
    EXPECT_TRUE(decode(xzAlone(QByteArray()), &decoded));
    EXPECT_TRUE(decoded.isEmpty());
}

TEST(LzmaStream, ReadsFromADeviceThatDeliversLittleAtATime)
{
    const QByteArray data = sampleData().left(70000);
    TrickleDevice in(xzAlone(data));
    QByteArray decoded;
    QBuffer out(&decoded);
    out.open(QIODevice::WriteOnly);
    EXPECT_TRUE(decodeLzmaStream(&in, &out));
    EXPECT_EQ(decoded, data);
}

TEST(LzmaStream, ShortHeaderOrBadPropertiesWriteNothing)
{
    const QByteArray stream = xzAlone("hello");
    for (int length : {0, 1, 5, 12}) {
        QByteArray decoded;
        EXPECT_FALSE(decode(stream.left(length), &decoded)) << length;
        EXPECT_TRUE(decoded.isEmpty()) << length;
    }
    QByteArray badProps = stream;
    badProps[0] = char(225); // lc/lp/pb beyond their range
    QByteArray decoded;
    EXPECT_FALSE(decode(badProps, &decoded));
    EXPECT_TRUE(decoded.isEmpty());
}

TEST(LzmaStream, IncompleteStreamsFailInsteadOfLooping)
{
    const QByteArray data = sampleData();
    const QByteArray unknownSize = xzAlone(data);
    const QByteArray knownSize = lzmpSized(data);
    ASSERT_FALSE(knownSize.isEmpty());

    for (const QByteArray &stream : {unknownSize, knownSize}) {
        for (int cut : {13, 14, int(stream.size() / 2), int(stream.size() - 1)}) {
            QByteArray decoded;
            EXPECT_FALSE(decode(stream.left(cut), &decoded)) << cut;
        }
    }

    // The end marker arrives before the declared size has been produced.
    QByteArray tooLong = unknownSize;
    setDeclaredSize(tooLong, quint64(data.size()) + 100);
    QByteArray decoded;
    EXPECT_FALSE(decode(tooLong, &decoded));

    // A huge declared size over a short stream ends with the input.
    QByteArray huge = xzAlone("short");
    setDeclaredSize(huge, quint64(1) << 40);
    decoded.clear();
    EXPECT_FALSE(decode(huge, &decoded));
}

TEST(LzmaStream, ImpossibleSizesAreRefusedBeforeAnythingIsAllocated)
{
    const QByteArray data = sampleData();
    const auto setDictionary = [](QByteArray stream, quint32 size) {
        for (int i = 0; i < 4; ++i)
            stream[1 + i] = char((size >> (8 * i)) & 0xff);
        return stream;
    };

    // A 4 GiB dictionary for a stream of unknown size would be allocated as asked.
    QByteArray decoded;
    EXPECT_FALSE(decode(setDictionary(xzAlone(data), 0xFFFFFFFFu), &decoded));
    EXPECT_TRUE(decoded.isEmpty());

    // With the size known, no match can reach further back than the size: the dictionary the
    // header asks for is more than the stream can use, and the stream still decodes.
    const QByteArray knownSize = lzmpSized(data);
    ASSERT_FALSE(knownSize.isEmpty());
    EXPECT_TRUE(decode(setDictionary(knownSize, 0xFFFFFFFFu), &decoded));
    EXPECT_EQ(decoded, data);

    // No stream this program unpacks comes near 256 GiB; such a size is a lie, refused at once.
    QByteArray lying = knownSize;
    setDeclaredSize(lying, quint64(1) << 38);
    decoded.clear();
    EXPECT_FALSE(decode(lying, &decoded));
    EXPECT_TRUE(decoded.isEmpty());
}
