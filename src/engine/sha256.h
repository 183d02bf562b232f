#pragma once

#include <QByteArray>

#include <cstdint>

// SHA-256 of a stream. Packages are checked with it as they arrive, beside MD5, so it must keep
// up with a fast line: where the processor has the SHA extensions (most x86 processors since
// 2017) it uses them, about seven times the speed of portable code; elsewhere portable code.
class Sha256 {
public:
    Sha256();
    void addData(const char *data, qint64 length);
    // The 32-byte digest; the object is then spent.
    QByteArray result();

private:
    uint32_t m_state[8];
    unsigned char m_pending[64];
    int m_pendingBytes = 0;
    quint64 m_totalBytes = 0;
};
