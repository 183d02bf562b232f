// One stage of the install road, run through the program's own code, for bench/run to time
// from outside (as it times the reference tools). Exit status 0 when the stage succeeded.
//
//   korvel-bench-stage download NAME VERSION NO MD5 [SHA256 SIZE]
//                                                    fetch a package from the mirrors
//                                                    (KORVEL_*_SERVER) into the package store
//                                                    of XDG_DATA_HOME, hashing included (with
//                                                    SHA256 and SIZE: as a signed build does)
//   korvel-bench-stage download NAME VERSION NO MD5 NAME VERSION NO MD5...
//                                                    several packages, one after the other
//   korvel-bench-stage verify FILE MD5                check an existing package file
//   korvel-bench-stage extract DEST ARCHIVE...        extract, then flush the file system
//   korvel-bench-stage largest-folder ARCHIVE...      print the largest unpacked folder size
#include "engine/package_record.h"
#include "install/archive_reader.h"
#include "install/extraction.h"
#include "platform/filesystem.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    auto arg = [&](int i) { return QString::fromLocal8Bit(argv[i]); };
    if (argc == 8 && strcmp(argv[1], "download") == 0) {
        PackageRecord package(arg(2), arg(3), arg(4), arg(5));
        package.setSignedContent(QByteArray::fromHex(argv[6]), QByteArray(argv[7]).toLongLong());
        return package.downloadPackage() ? 0 : 1;
    }
    if (argc >= 6 && (argc - 2) % 4 == 0 && strcmp(argv[1], "download") == 0) {
        for (int i = 2; i < argc; i += 4) {
            const PackageRecord package(arg(i), arg(i + 1), arg(i + 2), arg(i + 3));
            if (!package.downloadPackage())
                return 1;
        }
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "verify") == 0) {
        QFile file(arg(2));
        const PackageRecord package(QStringLiteral("bench"), QStringLiteral("0"), QStringLiteral("0"),
                                    arg(3));
        return file.open(QIODevice::ReadOnly) && package.verifyPackage(file) ? 0 : 1;
    }
    if (argc >= 4 && strcmp(argv[1], "extract") == 0) {
        const QDir destination(arg(2));
        QDir().mkpath(destination.absolutePath());
        for (int i = 3; i < argc; ++i) {
            QFile archive(arg(i));
            if (!archive.open(QIODevice::ReadOnly) || !extractArchive(&archive, destination))
                return 1;
        }
        return platform::syncFileSystem(destination.absolutePath()) ? 0 : 1;
    }
    if (argc >= 3 && strcmp(argv[1], "largest-folder") == 0) {
        quint64 largest = 0;
        for (int i = 2; i < argc; ++i) {
            QFile archive(arg(i));
            if (!archive.open(QIODevice::ReadOnly))
                return 1;
            largest = qMax(largest, ArchiveReader(&archive).largestFolderSize());
        }
        printf("%llu\n", static_cast<unsigned long long>(largest));
        return 0;
    }
    fprintf(stderr,
            "usage: korvel-bench-stage download NAME VERSION NO MD5 [SHA256 SIZE] |"
            " download (NAME VERSION NO MD5)... | verify FILE MD5 |"
            " extract DEST ARCHIVE... | largest-folder ARCHIVE...\n");
    return 2;
}
