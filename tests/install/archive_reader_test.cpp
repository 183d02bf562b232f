#include "install/archive_reader.h"
#include "install/extraction.h"

#include "support/temp_home.h"
#include "support/tools.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QtEndian>

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <random>

namespace {

QByteArray randomBytes(int size, unsigned seed)
{
    QByteArray data(size, Qt::Uninitialized);
    std::mt19937 rng(seed);
    for (char &c : data)
        c = char(rng());
    return data;
}

// A tree with text, an x86 executable (for the branch filters), an empty file, an empty
// directory, nesting and names outside ASCII.
QMap<QString, QByteArray> sampleTree()
{
    QMap<QString, QByteArray> tree;
    tree["readme.txt"] = QByteArray("Korvel test data\n").repeated(500);
    tree["bin/true"] = readFile(QStringLiteral("/bin/true"));
    tree["bin/random.dat"] = randomBytes(70000, 1);
    tree["empty.txt"] = QByteArray();
    tree[QStringLiteral("目录/安装Korvel.txt")] = QStringLiteral("安装Korvel\n").toUtf8();
    tree[QStringLiteral("spaced Élan/ß.txt")] = "latin";
    // Larger than a piece of the streaming decoder and than the small dictionaries below, so
    // its window wraps round.
    QByteArray big;
    for (int i = 0; big.size() < (5 << 19); ++i)
        big += QByteArray::number(i * 7919) + (i % 3 ? ' ' : '\n');
    tree["data/big.txt"] = big;
    return tree;
}

void writeTree(const QString &root, const QMap<QString, QByteArray> &tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        ASSERT_TRUE(writeFile(root + '/' + it.key(), it.value()));
    ASSERT_TRUE(QDir(root).mkpath("empty dir"));
}

// Every file below root, by relative path; directories as "<dir>".
QMap<QString, QByteArray> readTree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        tree[relative] = it.fileInfo().isDir() ? QByteArray("<dir>") : readFile(path);
    }
    return tree;
}

bool extract(const QString &archivePath, const QString &destination)
{
    QFile file(archivePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return extractArchive(&file, QDir(destination));
}

struct Method {
    const char *name;
    QStringList switches;
};

class ArchiveMethods : public ::testing::TestWithParam<Method> {};

} // namespace

TEST_P(ArchiveMethods, ExtractsTheTreeByteForByte)
{
    TempHome home;
    const QString source = home.root() + "/src";
    writeTree(source, sampleTree());
    ASSERT_TRUE(make7z(source, home.root() + "/p.7z", QStringList{"."} + GetParam().switches));

    const QString destination = home.root() + "/out";
    ASSERT_TRUE(extract(home.root() + "/p.7z", destination));
    EXPECT_EQ(readTree(destination), readTree(source));

    // The extraction streams the folders it can; reading entries decodes folders whole. Both
    // give the same bytes.
    QFile file(home.root() + "/p.7z");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    ArchiveReader reader(&file);
    for (quint32 i = 0; i < reader.numEntries(); ++i) {
        QByteArray data;
        ASSERT_TRUE(reader.entryData(i, &data));
        if (!reader.isDirectory(i)) {
            EXPECT_EQ(data, readFile(destination + '/' + reader.entryName(i)))
                << qPrintable(reader.entryName(i));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    SevenZip, ArchiveMethods,
    ::testing::Values(Method{"Lzma", {"-ms=on", "-m0=LZMA"}}, Method{"Lzma2", {"-ms=on", "-m0=LZMA2"}},
                      Method{"NonSolid", {"-ms=off", "-m0=LZMA"}},
                      Method{"BcjLzma", {"-ms=on", "-m0=BCJ", "-m1=LZMA", "-mf=off"}},
                      Method{"Lzma2SmallWindow", {"-ms=on", "-m0=LZMA2:d=64k"}},
                      Method{"BcjLzmaSmallWindow", {"-ms=on", "-m0=BCJ", "-m1=LZMA:d=64k", "-mf=off"}},
                      Method{"Bcj2", {"-mf=BCJ2"}},
                      Method{"Bcj2FourCoders",
                             {"-m0=BCJ2", "-m1=LZMA:d=1m", "-m2=LZMA:d=64k", "-m3=LZMA:d=64k", "-mb0s0:1",
                              "-mb0s1:2", "-mb0s2:3"}},
                      Method{"PpmdUncompressedHeader", {"-m0=PPMd", "-mhc=off"}}),
    [](const ::testing::TestParamInfo<Method> &info) { return std::string(info.param.name); });

TEST(ArchiveReader, DecodesEachFolderOnceWhenReadInOrder)
{
    TempHome home;
    const QString source = home.root() + "/src";
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(writeFile(QStringLiteral("%1/d%2/f%3.txt").arg(source).arg(i % 7).arg(i),
                              QByteArray::number(i).repeated(i + 1)));
    ASSERT_TRUE(make7z(source, home.root() + "/solid.7z", {".", "-ms=on", "-m0=LZMA2", "-mf=off"}));
    ASSERT_TRUE(make7z(source, home.root() + "/split.7z", {".", "-ms=off", "-m0=LZMA"}));

    QFile solid(home.root() + "/solid.7z");
    ASSERT_TRUE(solid.open(QIODevice::ReadOnly));
    ArchiveReader reader(&solid);
    ASSERT_TRUE(reader.isOpen());
    int files = 0;
    QByteArray data;
    for (quint32 i = 0; i < reader.numEntries(); ++i) {
        ASSERT_TRUE(reader.entryData(i, &data));
        if (!reader.isDirectory(i)) {
            ++files;
            EXPECT_EQ(data, readFile(source + '/' + reader.entryName(i)));
        }
    }
    EXPECT_EQ(files, 300);
    EXPECT_EQ(reader.folderDecodeCount(), 1);

    // One folder per file: each is decoded once, and going back decodes again.
    QFile split(home.root() + "/split.7z");
    ASSERT_TRUE(split.open(QIODevice::ReadOnly));
    ArchiveReader perFile(&split);
    quint32 first = 0;
    while (perFile.isDirectory(first))
        ++first;
    ASSERT_TRUE(perFile.entryData(first, &data));
    ASSERT_TRUE(perFile.entryData(first, &data));
    EXPECT_EQ(perFile.folderDecodeCount(), 1);
    ASSERT_TRUE(perFile.entryData(perFile.numEntries() - 1, &data));
    ASSERT_TRUE(perFile.entryData(first, &data));
    EXPECT_EQ(perFile.folderDecodeCount(), 3);
    EXPECT_EQ(data, readFile(source + '/' + perFile.entryName(first)));
}

TEST(ArchiveReader, ArchivesWithoutEntriesOrWithoutDirectoryEntries)
{
    TempHome home;
    ASSERT_TRUE(writeFile(home.root() + "/f", "x"));
    ASSERT_TRUE(make7z(home.root(), "empty.7z", {"f"}));
    ASSERT_EQ(runTool("7zz", {"d", "-bd", "-bso0", "empty.7z", "f"}, home.root()), 0);
    QFile empty(home.root() + "/empty.7z");
    ASSERT_TRUE(empty.open(QIODevice::ReadOnly));
    {
        ArchiveReader reader(&empty);
        EXPECT_TRUE(reader.isOpen());
        EXPECT_EQ(reader.numEntries(), 0u);
    }
    empty.seek(0);
    EXPECT_TRUE(extractArchive(&empty, QDir(home.root() + "/out")));

    // Naming a nested file stores no entries for its directories.
    ASSERT_TRUE(writeFile(home.root() + "/a/b/c.txt", "deep"));
    ASSERT_TRUE(make7z(home.root(), "deep.7z", {"a/b/c.txt"}));
    QFile deep(home.root() + "/deep.7z");
    ASSERT_TRUE(deep.open(QIODevice::ReadOnly));
    {
        ArchiveReader reader(&deep);
        ASSERT_EQ(reader.numEntries(), 1u);
        EXPECT_EQ(reader.entryName(0), "a/b/c.txt");
    }
    deep.seek(0);
    ASSERT_TRUE(extractArchive(&deep, QDir(home.root() + "/out2")));
    EXPECT_EQ(readFile(home.root() + "/out2/a/b/c.txt"), "deep");
}

TEST(ArchiveReader, RejectedOrDamagedArchivesFailWithoutStandInFiles)
{
    TempHome home;
    const QString source = home.root() + "/src";
    ASSERT_TRUE(writeFile(source + "/one.txt", randomBytes(40000, 2).toHex()));
    ASSERT_TRUE(writeFile(source + "/two.txt", randomBytes(40000, 3).toHex()));
    ASSERT_TRUE(make7z(source, home.root() + "/good.7z", {".", "-ms=on", "-m0=LZMA2"}));
    ASSERT_TRUE(make7z(source, home.root() + "/copy.7z", {".", "-m0=Copy"}));
    const QByteArray good = readFile(home.root() + "/good.7z");
    const QByteArray stored = readFile(home.root() + "/copy.7z");

    QByteArray corrupted = good;
    for (int i = 100; i < 140; ++i)
        corrupted[i] = char(corrupted[i] ^ 0x5a);
    // Copy has no decoder to notice; only the per-file CRC does.
    QByteArray flipped = stored;
    flipped[40] = char(flipped[40] ^ 1);

    // Damage near the end of the packed data: the first file may already have come out of the
    // stream when the second one fails.
    QByteArray corruptedLate = good;
    const int packedEnd = int(32 + qFromLittleEndian<quint64>(good.constData() + 12));
    for (int i = packedEnd - 200; i < packedEnd - 150; ++i)
        corruptedLate[i] = char(corruptedLate[i] ^ 0x5a);

    const QMap<QString, QByteArray> cases{{"truncated", good.left(good.size() / 2)},
                                          {"corrupted-late", corruptedLate},
                                          {"truncated-header", good.left(good.size() - 10)},
                                          {"corrupted", corrupted},
                                          {"flipped-stored", flipped},
                                          {"not-an-archive", "just some text, not 7z"},
                                          {"zero-bytes", QByteArray()}};
    for (auto it = cases.cbegin(); it != cases.cend(); ++it) {
        const QString archive = home.root() + '/' + it.key() + ".7z";
        ASSERT_TRUE(writeFile(archive, it.value()));
        const QString out = home.root() + "/out-" + it.key();
        EXPECT_FALSE(extract(archive, out)) << qPrintable(it.key());
        // Whatever is there is whole and right: nothing half-written, not even beside a final
        // name.
        const QMap<QString, QByteArray> left = readTree(out);
        for (auto file = left.cbegin(); file != left.cend(); ++file)
            EXPECT_EQ(file.value(), readFile(source + '/' + file.key())) << qPrintable(it.key());
        EXPECT_FALSE(left.contains("two.txt")) << qPrintable(it.key());
    }
}

namespace {

// Appends the 7z variable-length encoding of value.
void appendNumber(QByteArray &out, quint64 value)
{
    out.append(char(0xFF));
    for (int i = 0; i < 8; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
}

quint32 crc(const QByteArray &data)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size())));
}

void putLe(QByteArray &data, int at, quint64 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        data[at + i] = char((value >> (8 * i)) & 0xff);
}

// Gives an archive written with an uncompressed header (-mhc=off) the header that edit makes
// of its own, with the checksums and sizes that cover it made valid again: an archive that
// passes every structural check. Empty when edit refuses (returns false).
QByteArray withHeader(const QByteArray &archive, const std::function<bool(QByteArray &)> &edit)
{
    const quint64 headerOffset = 32 + qFromLittleEndian<quint64>(archive.constData() + 12);
    QByteArray header = archive.mid(int(headerOffset));
    if (!edit(header))
        return {};
    QByteArray result = archive.left(int(headerOffset)) + header;
    putLe(result, 20, quint64(header.size()), 8);
    putLe(result, 28, crc(header), 4);
    putLe(result, 8, crc(result.mid(12, 20)), 4);
    return result;
}

// Rewrites the unpack size of the only folder of an archive written with an uncompressed
// header (-mhc=off -m0=Copy, one small file).
QByteArray withFolderSize(const QByteArray &archive, quint64 size)
{
    return withHeader(archive, [size](QByteArray &header) {
        // kCodersUnpackSize (0x0C) follows the folder record; the size is one byte here.
        const int at = header.indexOf(char(0x0C), header.indexOf(char(0x0B)));
        if (at < 0)
            return false;
        QByteArray number;
        appendNumber(number, size);
        header.replace(at + 1, 1, number);
        return true;
    });
}

QByteArray littleEndian32(quint32 value)
{
    QByteArray bytes(4, '\0');
    putLe(bytes, 0, value, 4);
    return bytes;
}

} // namespace

namespace {

// The process's peak virtual size in KiB (VmPeak): an allocation raises it even when its pages
// are never touched.
qint64 peakVirtualKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmPeak:"))
            return line.mid(7).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

TEST(ArchiveReader, ImpossibleSizesAreRefusedBeforeAnythingIsAllocated)
{
    TempHome home;
    ASSERT_TRUE(writeFile(home.root() + "/small.txt", "12345"));
    ASSERT_TRUE(make7z(home.root(), "copy.7z", {"small.txt", "-m0=Copy", "-mhc=off"}));
    // Five stored bytes that claim to be 3 GiB.
    const QString archive = home.root() + "/lying.7z";
    ASSERT_TRUE(writeFile(archive, withFolderSize(readFile(home.root() + "/copy.7z"), 3ull << 30)));

    const qint64 before = peakVirtualKiB();
    ASSERT_GT(before, 0);
    QFile file(archive);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    {
        ArchiveReader reader(&file);
        QByteArray data;
        EXPECT_FALSE(reader.entryData(0, &data));
    }
    file.seek(0);
    EXPECT_FALSE(extractArchive(&file, QDir(home.root() + "/out")));
    EXPECT_FALSE(QFile::exists(home.root() + "/out/small.txt"));
    EXPECT_LT(peakVirtualKiB() - before, 1 << 20) << "a 3 GiB buffer was allocated";
}

TEST(ArchiveReader, FolderSizesBeyondWhatCanBeHeldFailCleanly)
{
    TempHome home;
    ASSERT_TRUE(writeFile(home.root() + "/small.txt", "12345"));
    ASSERT_TRUE(make7z(home.root(), "copy.7z", {"small.txt", "-m0=Copy", "-mhc=off"}));
    const QByteArray original = readFile(home.root() + "/copy.7z");

    // The rewrite itself is sound: the true size gives the file back.
    ASSERT_TRUE(writeFile(home.root() + "/same.7z", withFolderSize(original, 5)));
    ASSERT_TRUE(extract(home.root() + "/same.7z", home.root() + "/same"));
    EXPECT_EQ(readFile(home.root() + "/same/small.txt"), "12345");

    for (quint64 size : {quint64(1) << 32, (quint64(1) << 32) + 5, quint64(1) << 62}) {
        const QString archive = home.root() + QStringLiteral("/lying-%1.7z").arg(size);
        ASSERT_TRUE(writeFile(archive, withFolderSize(original, size)));
        QFile file(archive);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        ArchiveReader reader(&file);
        ASSERT_TRUE(reader.isOpen()) << "the lie must reach the folder decoder";
        QByteArray data;
        EXPECT_FALSE(reader.entryData(0, &data)) << size;
        file.seek(0);
        EXPECT_FALSE(extractArchive(&file, QDir(home.root() + "/lying"))) << size;
        EXPECT_FALSE(QFile::exists(home.root() + "/lying/small.txt"));
    }
}

TEST(ArchiveReader, OfEntriesWithOnePathTheLastInArchiveOrderWins)
{
    // 7-Zip lists empty files before the files of a folder and always stores CRCs; the
    // headers below are edited into what other writers may produce.
    TempHome home;
    const QString root = home.root();
    ASSERT_TRUE(writeFile(root + "/s/a.txt", "one"));
    ASSERT_TRUE(writeFile(root + "/s/e.txt", ""));
    ASSERT_TRUE(writeFile(root + "/s/c.txt", "three"));
    const QStringList header{"-mhc=off", "-ms=on", "-m0=LZMA2"};
    ASSERT_TRUE(make7z(root, "dup.7z", header + QStringList{"./s/a.txt", "./s/e.txt", "./s/c.txt"}));
    ASSERT_EQ(runTool("7zz",
                      QStringList{"rn", "-bso0", "dup.7z", "a.txt", "dup", "c.txt", "dup"} + header.mid(0, 1),
                      root),
              0);
    const QByteArray stored = readFile(root + "/dup.7z");
    // Entries e.txt (empty), dup ("one"), dup ("three"), as 7-Zip wrote them.
    const QByteArray twoOfOneFolder = stored;
    // The empty file moved between the two files of the folder: e.txt ("one"), dup (empty),
    // dup ("three"); reaching the folder at its first file must not let the empty one win.
    const QByteArray emptyBetween = withHeader(stored, [](QByteArray &h) {
        const int at = h.indexOf(QByteArray::fromHex("0e0180"));
        if (at < 0)
            return false;
        h[at + 2] = char(0x40);
        return true;
    });
    // The two files of the folder without CRCs: they would share one side file.
    const QByteArray withoutCrcs = withHeader(stored, [](QByteArray &h) {
        const QByteArray crcs =
            QByteArray::fromHex("0a01") + littleEndian32(crc("one")) + littleEndian32(crc("three"));
        const int at = h.indexOf(crcs);
        if (at < 0)
            return false;
        h.replace(at, crcs.size(), QByteArray::fromHex("0a0000"));
        return true;
    });
    const struct {
        const char *name;
        QByteArray archive;
        QMap<QString, QByteArray> tree;
    } cases[] = {{"two of one folder", twoOfOneFolder, {{"e.txt", ""}, {"dup", "three"}}},
                 {"empty between", emptyBetween, {{"e.txt", "one"}, {"dup", "three"}}},
                 {"without CRCs", withoutCrcs, {{"e.txt", ""}, {"dup", "three"}}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.archive.isEmpty());
        const QString archive = root + "/case.7z";
        ASSERT_TRUE(writeFile(archive, c.archive));
        const QString out = root + "/out-" + QString::fromLatin1(c.name);
        EXPECT_TRUE(extract(archive, out));
        EXPECT_EQ(readTree(out), c.tree);
        // Again over the same files: the result is the same.
        EXPECT_TRUE(extract(archive, out));
        EXPECT_EQ(readTree(out), c.tree);
    }
}
