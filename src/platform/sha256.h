#pragma once

#include <QByteArray>

#include <memory>

// SHA-256 of a stream, computed by the system's own cryptography (OpenSSL's libcrypto on Linux,
// CNG on Windows): both use the processor's SHA extensions where it has them, so the digest
// keeps up with a fast line.
namespace platform {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256 &&) noexcept;
    Sha256 &operator=(Sha256 &&) noexcept;
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, qint64 length);
    // The 32-byte digest; the object is then spent. Empty when the system could not compute it
    // (its library missing, say), which matches no digest, so a check fails closed.
    QByteArray result();

private:
    struct Context;
    std::unique_ptr<Context> m_context; // null once the system failed
};

} // namespace platform
