// Peak memory of extracting one large solid folder, against that folder's unpacked size.
// Usage: extract_memory_bench [MiB of content, default 64]
// Needs 7zz on PATH. Prints the process's peak resident size (VmHWM) before and after.
#include "peak_memory.h"

#include "install/archive_reader.h"
#include "install/extraction.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <random>

int main(int argc, char **argv)
{
    const int mib = argc > 1 ? atoi(argv[1]) : 64;
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("src"));
    QDir().mkpath(source);

    // Half poorly compressible, half text, in files of 1 to 4 MiB; the largest file is known.
    std::mt19937 rng(1);
    qint64 total = 0;
    qint64 largestFile = 0;
    for (int i = 0; total < qint64(mib) << 20; ++i) {
        const int size = (1 + i % 4) << 20;
        QByteArray data(size, Qt::Uninitialized);
        if (i % 2 == 0) {
            for (char &c : data)
                c = char(rng() & 0x3f);
        } else {
            const QByteArray line = QByteArray("line of text number ") + QByteArray::number(i) + '\n';
            for (int p = 0; p < size; ++p)
                data[p] = line.at(p % line.size());
        }
        QFile out(QStringLiteral("%1/f%2.bin").arg(source).arg(i));
        if (!out.open(QIODevice::WriteOnly) || out.write(data) != size)
            return 1;
        total += size;
        largestFile = qMax<qint64>(largestFile, size);
    }
    const QString archive = dir.filePath(QStringLiteral("solid.7z"));
    QProcess sevenZip;
    sevenZip.setWorkingDirectory(source);
    sevenZip.start(QStringLiteral("7zz"),
                   {"a", "-bd", "-bso0", "-bsp0", "-ms=on", "-m0=LZMA2", "-mx=1", "-mmt=2", "-md=4m",
                    "-mf=off", archive, "."});
    if (!sevenZip.waitForFinished(-1) || sevenZip.exitCode() != 0) {
        fprintf(stderr, "7zz failed\n");
        return 1;
    }

    QFile file(archive);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    quint64 largestFolder = 0;
    {
        ArchiveReader reader(&file);
        largestFolder = reader.largestFolderSize();
    }
    file.seek(0);
    const long long before = peakResidentKiB();
    QElapsedTimer timer;
    timer.start();
    const bool ok = extractArchive(&file, QDir(dir.filePath(QStringLiteral("out"))));
    const qint64 ms = timer.elapsed();
    const long long after = peakResidentKiB();

    printf("extraction %s in %lld ms\n", ok ? "ok" : "FAILED", static_cast<long long>(ms));
    printf("content            %8.1f MiB in files up to %.1f MiB\n", total / 1048576.0,
           largestFile / 1048576.0);
    printf("largest folder     %8.1f MiB\n", largestFolder / 1048576.0);
    printf("peak RSS before    %8.1f MiB\n", before / 1024.0);
    printf("peak RSS after     %8.1f MiB\n", after / 1024.0);
    printf("growth             %8.1f MiB (folder + largest file = %.1f MiB)\n", (after - before) / 1024.0,
           (largestFolder + largestFile) / 1048576.0);
    return ok ? 0 : 1;
}
