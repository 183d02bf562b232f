#include "platform/sha256.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(Sha256, MatchesTheReferenceOverEveryBlockBoundary)
{
    QByteArray data(3 * 64 + 17, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 131 + 7);
    for (int length = 0; length <= data.size(); ++length) {
        for (int split : {0, 1, 63, 64, 65}) {
            const QByteArray piece = data.left(length);
            platform::Sha256 hash;
            const int first = std::min(split, length);
            hash.addData(piece.constData(), first);
            hash.addData(piece.constData() + first, length - first);
            ASSERT_EQ(hash.result(), QCryptographicHash::hash(piece, QCryptographicHash::Sha256))
                << "length " << length << " split " << split;
        }
    }
}

TEST(Sha256, DigestsAStreamFedInLargeUnevenPieces)
{
    // Far more than one internal block per call, and pieces that end anywhere.
    QByteArray data(5 * 1024 * 1024 + 3, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 2654435761u) >> 24);
    platform::Sha256 hash;
    for (qint64 at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 3 + 1)
        hash.addData(data.constData() + at, std::min<qint64>(piece, data.size() - at));
    EXPECT_EQ(hash.result(), QCryptographicHash::hash(data, QCryptographicHash::Sha256));
}

} // namespace
