#include "patch_maker.h"

#include "platform/save_file.h"
#include "platform/sha256.h"

#include <divsufsort.h>

#include <QBuffer>
#include <QFile>

#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace {

// A byte-wise match this much longer than the current alignment's agreement starts a new entry.
constexpr qint64 NewMatchMargin = 8;
// A match longer than this is followed rather than searched for again at each of its bytes.
constexpr qint64 LongMatch = 64;

qint64 commonPrefix(const unsigned char *a, qint64 aSize, const unsigned char *b, qint64 bSize)
{
    const qint64 n = qMin(aSize, bSize);
    qint64 i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// The base, its suffix array and the result, and the search for the longest exact match.
class Matcher {
public:
    Matcher(const unsigned char *base, qint64 baseSize, const saidx_t *suffixes, const unsigned char *result,
            qint64 resultSize)
        : m_base(base), m_baseSize(baseSize), m_suffixes(suffixes), m_result(result), m_resultSize(resultSize)
    {
    }

    // The longest prefix of the result from at that occurs in the base; its place in *position.
    qint64 longestMatch(qint64 at, qint64 *position) const
    {
        if (m_baseSize == 0) {
            *position = 0;
            return 0;
        }
        const unsigned char *wanted = m_result + at;
        const qint64 wantedSize = m_resultSize - at;
        // The suffixes are sorted: bisect towards the wanted bytes, then take the better of the two
        // neighbours left.
        qint64 low = 0;
        qint64 high = m_baseSize - 1;
        while (high - low >= 2) {
            const qint64 middle = low + (high - low) / 2;
            const qint64 start = m_suffixes[middle];
            const qint64 n = qMin(m_baseSize - start, wantedSize);
            // A suffix that is a prefix of the wanted bytes sorts before them.
            const int order = memcmp(m_base + start, wanted, size_t(n));
            if (order < 0 || (order == 0 && n < wantedSize))
                low = middle;
            else
                high = middle;
        }
        const qint64 lowLength =
            commonPrefix(m_base + m_suffixes[low], m_baseSize - m_suffixes[low], wanted, wantedSize);
        const qint64 highLength =
            commonPrefix(m_base + m_suffixes[high], m_baseSize - m_suffixes[high], wanted, wantedSize);
        *position = lowLength >= highLength ? m_suffixes[low] : m_suffixes[high];
        return qMax(lowLength, highLength);
    }

    bool agrees(qint64 resultAt, qint64 baseAt) const
    {
        return baseAt >= 0 && baseAt < m_baseSize && m_base[baseAt] == m_result[resultAt];
    }

private:
    const unsigned char *m_base;
    qint64 m_baseSize;
    const saidx_t *m_suffixes;
    const unsigned char *m_result;
    qint64 m_resultSize;
};

// Accepts writes and checks them against the bytes expected, without keeping them.
class ComparingDevice : public QIODevice {
public:
    explicit ComparingDevice(const QByteArray &expected) : m_expected(expected) { open(WriteOnly); }
    bool matchesAll() const { return m_equal && m_position == m_expected.size(); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        if (size > m_expected.size() - m_position
            || memcmp(m_expected.constData() + m_position, data, size_t(size)) != 0)
            m_equal = false;
        m_position += size;
        return size;
    }

private:
    const QByteArray &m_expected;
    qint64 m_position = 0;
    bool m_equal = true;
};

QByteArray sha256(const QByteArray &data)
{
    platform::Sha256 digest;
    digest.addData(data.constData(), data.size());
    return digest.result();
}

bool readWholeFile(const QString &path, QByteArray *data, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() >= std::numeric_limits<int>::max()) {
        *error = QStringLiteral("%1 is too large for a patch").arg(path);
        return false;
    }
    *data = file.readAll();
    if (data->size() != file.size()) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    return true;
}

} // namespace

bool diffFiles(const QByteArray &baseBytes, const QByteArray &resultBytes, PatchContent *content,
               QString *error)
{
    const qint64 baseSize = baseBytes.size();
    const qint64 resultSize = resultBytes.size();
    const auto *base = reinterpret_cast<const unsigned char *>(baseBytes.constData());
    const auto *result = reinterpret_cast<const unsigned char *>(resultBytes.constData());
    std::unique_ptr<saidx_t[]> suffixes(new (std::nothrow) saidx_t[size_t(qMax<qint64>(baseSize, 1))]);
    if (!suffixes) {
        *error = QStringLiteral("out of memory for the suffix array");
        return false;
    }
    if (baseSize > 0 && divsufsort(base, suffixes.get(), saidx_t(baseSize)) != 0) {
        *error = QStringLiteral("suffix sort failed");
        return false;
    }
    const Matcher matcher(base, baseSize, suffixes.get(), result, resultSize);
    *content = PatchContent();
    content->diff.reserve(int(resultSize));

    // Where the last entry's copy starts in the result and the base, how far the base is ahead
    // of the result there, and where the previous entry left the base position.
    qint64 lastScan = 0;
    qint64 lastPosition = 0;
    qint64 lastOffset = 0;
    qint64 basePosition = 0;
    qint64 scan = 0;
    qint64 length = 0;
    qint64 position = 0;
    while (scan < resultSize) {
        // Look for a place where an exact match is clearly better than carrying on with the
        // current alignment (lastOffset), counting how well that alignment does over the match.
        qint64 alignedScore = 0;
        qint64 counted = scan += length;
        bool carryOn = false;
        for (; scan < resultSize; ++scan) {
            // Within a long match, the same match one byte further on is good enough: searching
            // again at every byte of it would cost its length each time.
            if (carryOn) {
                --length;
                ++position;
            } else {
                length = matcher.longestMatch(scan, &position);
            }
            for (; counted < scan + length; ++counted) {
                if (matcher.agrees(counted, counted + lastOffset))
                    ++alignedScore;
            }
            if ((length == alignedScore && length != 0) || length > alignedScore + NewMatchMargin)
                break;
            if (matcher.agrees(scan, scan + lastOffset))
                --alignedScore;
            carryOn = length > LongMatch;
        }
        if (length == alignedScore && scan != resultSize)
            continue; // the current alignment still does as well: keep going with it

        // Extend the last entry forward from where it began, as far as its bytes mostly agree.
        qint64 forward = 0;
        {
            qint64 agreeing = 0;
            qint64 best = 0;
            for (qint64 i = 0; lastScan + i < scan && lastPosition + i < baseSize;) {
                if (base[lastPosition + i] == result[lastScan + i])
                    ++agreeing;
                ++i;
                if (agreeing * 2 - i > best * 2 - forward) {
                    best = agreeing;
                    forward = i;
                }
            }
        }
        // Extend the new match backward the same way.
        qint64 backward = 0;
        if (scan < resultSize) {
            qint64 agreeing = 0;
            qint64 best = 0;
            for (qint64 i = 1; scan >= lastScan + i && position >= i; ++i) {
                if (base[position - i] == result[scan - i])
                    ++agreeing;
                if (agreeing * 2 - i > best * 2 - backward) {
                    best = agreeing;
                    backward = i;
                }
            }
        }
        // Where the two extensions overlap, split them where the bytes agree best.
        if (lastScan + forward > scan - backward) {
            const qint64 overlap = (lastScan + forward) - (scan - backward);
            qint64 balance = 0;
            qint64 best = 0;
            qint64 split = 0;
            for (qint64 i = 0; i < overlap; ++i) {
                if (result[lastScan + forward - overlap + i] == base[lastPosition + forward - overlap + i])
                    ++balance;
                if (result[scan - backward + i] == base[position - backward + i])
                    --balance;
                if (balance > best) {
                    best = balance;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        const qint64 extraStart = lastScan + forward;
        const qint64 extraSize = (scan - backward) - extraStart;
        if (forward + extraSize > 0) {
            content->addEntry(lastPosition - basePosition, quint64(forward), quint64(extraSize));
            for (qint64 i = 0; i < forward; ++i)
                content->diff.append(char(result[lastScan + i] - base[lastPosition + i]));
            content->extra.append(reinterpret_cast<const char *>(result + extraStart), int(extraSize));
            basePosition = lastPosition + forward;
        }
        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }
    return true;
}

bool makePatch(const QByteArray &base, const QByteArray &result, QByteArray *patch, QString *error,
               const PatchPacking &packing)
{
    patch->clear();
    PatchContent content;
    if (!diffFiles(base, result, &content, error))
        return false;
    QByteArray bytes;
    const QByteArray resultSha256 = sha256(result);
    if (!writePatch(content, quint64(base.size()), sha256(base), quint64(result.size()), resultSha256,
                    packing, &bytes)) {
        *error = QStringLiteral("out of memory while compressing the patch");
        return false;
    }
    content = PatchContent();

    // The client's own code must give back exactly the result.
    QBuffer patchDevice(&bytes);
    QBuffer baseDevice;
    baseDevice.setData(base);
    ComparingDevice check(result);
    if (!patchDevice.open(QIODevice::ReadOnly) || !baseDevice.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot check the patch");
        return false;
    }
    QByteArray checkedSha256;
    const PatchStatus status = applyPatch(&patchDevice, &baseDevice, &check, &checkedSha256);
    if (status != PatchStatus::Applied || !check.matchesAll() || checkedSha256 != resultSha256) {
        *error = QStringLiteral("the patch does not give the result back (%1)")
                     .arg(QString::fromLatin1(patchStatusName(status)));
        return false;
    }
    *patch = bytes;
    return true;
}

bool makePatchFile(const QString &basePath, const QString &resultPath, const QString &patchPath,
                   MadePatch *made, QString *error)
{
    QByteArray base;
    QByteArray result;
    if (!readWholeFile(basePath, &base, error) || !readWholeFile(resultPath, &result, error))
        return false;
    QByteArray patch;
    if (!makePatch(base, result, &patch, error))
        return false;
    if (!platform::saveFile(patchPath, patch)) {
        *error = QStringLiteral("cannot write %1").arg(patchPath);
        return false;
    }
    made->baseSize = quint64(base.size());
    made->baseSha256 = sha256(base);
    made->resultSize = quint64(result.size());
    made->resultSha256 = sha256(result);
    made->patchSize = quint64(patch.size());
    made->patchSha256 = sha256(patch);
    return true;
}
