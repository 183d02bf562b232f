// A binary patch applied to a base, both taken from the input: its first two bytes give the base's
// length (little-endian), the base follows, and the rest is the patch. The applier must never
// reach outside the two (the devices fail the run if it tries), never write more than the result
// size the header declares, and an applied patch must have written exactly that many bytes with
// the declared digest. The result is kept in memory up to 4 MiB; a larger one ends in a failed
// write, as on a full disk.
#include "fuzz_support.h"

#include "engine/bounded_buffer.h"
#include "install/binary_patch.h"
#include "platform/sha256.h"

#include <cstring>

namespace {

// Fixed bytes, read at random; any seek or read beyond them is a finding.
class StrictDevice : public QIODevice {
public:
    explicit StrictDevice(const QByteArray &data) : m_data(data) { open(ReadOnly | Unbuffered); }
    qint64 size() const override { return m_data.size(); }
    bool seek(qint64 position) override
    {
        if (position < 0 || position > m_data.size())
            fuzzFailure("seek outside a device");
        return QIODevice::seek(position);
    }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        if (max > m_data.size() - pos())
            fuzzFailure("read past the end of a device");
        memcpy(data, m_data.constData() + pos(), size_t(max));
        return max;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    const int baseSize = size >= 2 ? qMin(int(data[0] | data[1] << 8), int(size) - 2) : 0;
    StrictDevice base(bytes.mid(2, baseSize));
    StrictDevice patch(bytes.mid(2 + baseSize));

    PatchHeader header;
    const bool wellFormed = readPatchHeader(&patch, &header) == PatchStatus::Applied;
    QByteArray result;
    BoundedBuffer out(&result, 4 * 1024 * 1024);
    out.open(QIODevice::WriteOnly);
    QByteArray digest;
    const PatchStatus status = applyPatch(&patch, &base, &out, &digest);
    if (wellFormed && quint64(result.size()) > header.resultSize)
        fuzzFailure("wrote more than the declared result");
    if (status == PatchStatus::Applied) {
        platform::Sha256 check;
        check.addData(result.constData(), result.size());
        if (!wellFormed || quint64(result.size()) != header.resultSize || digest != header.resultSha256
            || check.result() != digest)
            fuzzFailure("an applied patch did not make its declared result");
    }
    return 0;
}
