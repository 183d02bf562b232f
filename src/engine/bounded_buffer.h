#pragma once

#include <QBuffer>

// An in-memory buffer that refuses a write which would make it larger than its limit, so a
// server that never stops sending ends the transfer with a write error instead of filling
// memory. Used for the catalogue and manifests, which are a few kilobytes.
class BoundedBuffer : public QBuffer {
public:
    // A catalogue or manifest a thousand times the size of a real one is no longer plausible.
    static constexpr qint64 DefaultLimit = 16 * 1024 * 1024;

    explicit BoundedBuffer(QByteArray *data, qint64 limit = DefaultLimit) : QBuffer(data), m_limit(limit) {}

protected:
    qint64 writeData(const char *data, qint64 length) override
    {
        if (pos() + length > m_limit)
            return -1;
        return QBuffer::writeData(data, length);
    }

private:
    qint64 m_limit;
};
