// The publisher's patch maker: what it makes must apply with the program's own code, stay small
// for a rebuilt binary, and be the same bytes every time.
#include "install/binary_patch.h"
#include "patch_maker.h"

#include "platform/sha256.h"
#include "support/tools.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

namespace {

QByteArray applied(const QByteArray &patch, const QByteArray &base, PatchStatus *status)
{
    QBuffer patchDevice;
    patchDevice.setData(patch);
    QBuffer baseDevice;
    baseDevice.setData(base);
    QByteArray result;
    QBuffer out(&result);
    patchDevice.open(QIODevice::ReadOnly);
    baseDevice.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    *status = applyPatch(&patchDevice, &baseDevice, &out);
    return result;
}

QByteArray xzSize(const QByteArray &data)
{
    QByteArray out;
    QTemporaryDir dir;
    return runTool(QStringLiteral("xz"), {"-9", "-c"}, dir.path(), data, &out) == 0 ? out : QByteArray();
}

} // namespace

TEST(PatchMaker, ARebuiltLibraryCostsAFewPercentOfItsCompressedSizeAndTheSameBytesEachTime)
{
    std::mt19937 rng(1);
    const QByteArray base = codeLikeBytes(1 << 20, rng);
    const QByteArray result = rebuiltBinary(base, rng);
    QByteArray patch;
    QString error;
    ASSERT_TRUE(makePatch(base, result, &patch, &error)) << qPrintable(error);
    PatchStatus status;
    EXPECT_TRUE(applied(patch, base, &status) == result);
    EXPECT_EQ(status, PatchStatus::Applied);

    const QByteArray compressed = xzSize(result);
    ASSERT_FALSE(compressed.isEmpty());
    EXPECT_LT(patch.size(), compressed.size() / 20) << patch.size() << " of " << compressed.size();

    QByteArray again;
    ASSERT_TRUE(makePatch(base, result, &again, &error));
    EXPECT_TRUE(again == patch);
}

TEST(PatchMaker, HandlesEmptyEqualUnrelatedAndRepetitiveFiles)
{
    std::mt19937 rng(2);
    const QByteArray code = codeLikeBytes(200000, rng);
    QByteArray zeros(3 << 20, '\0');
    QByteArray moreZeros = zeros;
    moreZeros.insert(1 << 20, codeLikeBytes(5000, rng));
    moreZeros.append(QByteArray(1 << 20, '\0'));
    QByteArray pattern;
    while (pattern.size() < (2 << 20))
        pattern.append("abcabcabd");
    QByteArray shiftedPattern = pattern.mid(4) + "tail";

    // Each case with the most its patch may take beyond the header.
    const struct {
        const char *what;
        QByteArray base;
        QByteArray result;
        int most;
    } cases[] = {
        {"both empty", {}, {}, 0},
        {"from nothing", {}, code, code.size()},
        {"to nothing", code, {}, 0},
        {"equal", code, code, 500},
        {"unrelated", code, codeLikeBytes(150000, rng), 150000},
        {"one byte", QByteArray("a"), QByteArray("b"), 10},
        // Long runs of one byte and short periods are where a naive matcher turns quadratic.
        {"zeros grown in the middle", zeros, moreZeros, 10000},
        {"a repeated pattern, shifted", pattern, shiftedPattern, 1000},
    };
    for (const auto &c : cases) {
        QByteArray patch;
        QString error;
        ASSERT_TRUE(makePatch(c.base, c.result, &patch, &error)) << c.what << ": " << qPrintable(error);
        PatchStatus status;
        EXPECT_TRUE(applied(patch, c.base, &status) == c.result) << c.what;
        EXPECT_EQ(status, PatchStatus::Applied) << c.what;
        EXPECT_LE(patch.size(), patch::HeaderSize + c.most) << c.what;
    }
}

TEST(PatchMaker, WritesThePatchFileAndWhatTheManifestListsAboutIt)
{
    QTemporaryDir dir;
    std::mt19937 rng(3);
    const QByteArray base = codeLikeBytes(100000, rng);
    const QByteArray result = rebuiltBinary(base, rng);
    const QString basePath = dir.filePath("base.so");
    const QString resultPath = dir.filePath("result.so");
    const QString patchPath = dir.filePath("result.so.patch");
    for (const auto &[path, data] : {std::make_pair(basePath, base), std::make_pair(resultPath, result)}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    }
    const auto sha256 = [](const QByteArray &data) {
        platform::Sha256 digest;
        digest.addData(data.constData(), data.size());
        return digest.result();
    };

    MadePatch made;
    QString error;
    ASSERT_TRUE(makePatchFile(basePath, resultPath, patchPath, &made, &error)) << qPrintable(error);
    QFile patchFile(patchPath);
    ASSERT_TRUE(patchFile.open(QIODevice::ReadOnly));
    const QByteArray patch = patchFile.readAll();
    EXPECT_EQ(made.baseSize, quint64(base.size()));
    EXPECT_EQ(made.baseSha256, sha256(base));
    EXPECT_EQ(made.resultSize, quint64(result.size()));
    EXPECT_EQ(made.resultSha256, sha256(result));
    EXPECT_EQ(made.patchSize, quint64(patch.size()));
    EXPECT_EQ(made.patchSha256, sha256(patch));

    // A file that cannot be read leaves no patch behind.
    const QString missingPatch = dir.filePath("missing.patch");
    EXPECT_FALSE(makePatchFile(dir.filePath("absent"), resultPath, missingPatch, &made, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFile::exists(missingPatch));
}
