#include "platform/sha256.h"

#include <openssl/evp.h>

namespace platform {

struct Sha256::Context {
    struct Free {
        void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> digest;
};

Sha256::Sha256() : m_context(new Context)
{
    m_context->digest.reset(EVP_MD_CTX_new());
    if (!m_context->digest || EVP_DigestInit_ex(m_context->digest.get(), EVP_sha256(), nullptr) != 1)
        m_context.reset();
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256 &&) noexcept = default;
Sha256 &Sha256::operator=(Sha256 &&) noexcept = default;

void Sha256::addData(const char *data, qint64 length)
{
    if (m_context && length > 0 && EVP_DigestUpdate(m_context->digest.get(), data, size_t(length)) != 1)
        m_context.reset();
}

QByteArray Sha256::result()
{
    if (!m_context)
        return QByteArray();
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    const bool done =
        EVP_DigestFinal_ex(m_context->digest.get(), reinterpret_cast<unsigned char *>(digest.data()), &length)
        == 1;
    m_context.reset();
    if (!done)
        return QByteArray();
    digest.resize(int(length));
    return digest;
}

} // namespace platform
