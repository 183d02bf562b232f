#pragma once

// The reader's state over the LZMA SDK's database, shared by the reader (archive_reader.cpp) and
// the extraction walk (extraction.cpp), which decodes folders through the same look-ahead
// stream. Nothing outside src/install includes this.

#include "install/archive_reader.h"

#include <7z.h>

#include <QFileDevice>

#include <cstddef>

class QIODevice;

namespace archive {

// A file entry of no folder (an empty file), and the cache of ArchiveReader holding none.
constexpr quint32 NoFolder = 0xFFFFFFFF;
// The look-ahead buffer: the decoder never asks the device for more than this at once.
constexpr size_t LookBufferSize = 1 << 14;

// The execute permissions the entry was stored with in its Unix mode; none without one.
QFileDevice::Permissions executePermissionsOf(const CSzArEx &database, quint32 index);

// The decoder's ISeekInStream over a QIODevice. vt must stay the first member: the SDK hands
// back a pointer to it.
struct DeviceStream {
    ISeekInStream vt;
    QIODevice *device;

    static SRes read(ISeekInStreamPtr p, void *buffer, size_t *size);
    static SRes seek(ISeekInStreamPtr p, Int64 *pos, ESzSeek origin);
};

} // namespace archive

struct ArchiveReader::Private {
    CSzArEx database;
    archive::DeviceStream inputStream;
    CLookToRead2 lookStream;
    unsigned char lookBuffer[archive::LookBufferSize];
    bool open = false;
    quint32 cachedFolder = archive::NoFolder;
    // Raw memory rather than a QByteArray: a QByteArray cannot hold 2 GiB and aborts the
    // process when it cannot grow, and the size here comes from the archive.
    unsigned char *folderBuffer = nullptr;
    size_t folderSize = 0;
    int decodes = 0;
    QIODevice *device;

    explicit Private(QIODevice *archive);
    ~Private();
    Private(const Private &) = delete;
    Private &operator=(const Private &) = delete;

    void dropFolder();
    // Every size the archive declares is checked against what its bytes can hold before any
    // of them is believed: packed streams inside the device, no folder or coder larger than
    // its packed bytes can expand to, every file inside its folder.
    bool sizesArePossible() const;
    bool folderSizesArePossible(UInt32 folder) const;
    // The unpacked bytes of a file entry of a folder that the whole-folder decoder handles,
    // pointing into the decoded folder (valid until another folder is decoded). False when
    // the folder cannot be decoded or the entry's CRC does not match.
    bool entryBytes(quint32 index, const unsigned char **data, size_t *length);
    bool loadFolder(quint32 folder);
};
