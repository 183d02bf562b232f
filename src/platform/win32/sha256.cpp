#include "platform/sha256.h"

#include <windows.h>

#include <bcrypt.h>

namespace platform {

// One algorithm provider and one hash object of CNG, closed in the reverse order.
struct Sha256::Context {
    ~Context()
    {
        if (hash)
            ::BCryptDestroyHash(hash);
        if (algorithm)
            ::BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {
bool succeeded(NTSTATUS status)
{
    return status >= 0;
}
} // namespace

Sha256::Sha256() : m_context(new Context)
{
    if (!succeeded(::BCryptOpenAlgorithmProvider(&m_context->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))
        || !succeeded(::BCryptCreateHash(m_context->algorithm, &m_context->hash, nullptr, 0, nullptr, 0, 0)))
        m_context.reset();
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256 &&) noexcept = default;
Sha256 &Sha256::operator=(Sha256 &&) noexcept = default;

void Sha256::addData(const char *data, qint64 length)
{
    // CNG takes at most a ULONG of bytes per call.
    constexpr qint64 MaxPiece = 1 << 30;
    while (m_context && length > 0) {
        const ULONG piece = ULONG(qMin(length, MaxPiece));
        if (!succeeded(::BCryptHashData(m_context->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(data)),
                                        piece, 0)))
            m_context.reset();
        data += piece;
        length -= piece;
    }
}

QByteArray Sha256::result()
{
    if (!m_context)
        return QByteArray();
    QByteArray digest(32, Qt::Uninitialized);
    const bool done = succeeded(::BCryptFinishHash(m_context->hash, reinterpret_cast<PUCHAR>(digest.data()),
                                                   ULONG(digest.size()), 0));
    m_context.reset();
    return done ? digest : QByteArray();
}

} // namespace platform
