// The binary patch's two halves, run through the program's own code, for bench/run --patch to
// time and weigh from outside (elapsed time, peak resident memory of the process).
//
//   korvel-bench-patch make BASE RESULT PATCH [DUMP]   make a patch (checked by applying it);
//                                                      prints the unpacked and packed size of
//                                                      each stream and the process's peak
//                                                      resident memory; with DUMP, also writes the
//                                                      unpacked streams to DUMP.control, .diff
//                                                      and .extra (to try other compressors)
//   korvel-bench-patch apply BASE PATCH OUT            apply a patch into OUT; prints the
//                                                      time applying took, the process's peak
//                                                      resident memory, and that before applying
//                                                      (on Windows also its private bytes)
//
// Exit status 0 when the stage succeeded. The Windows build has only apply.
#include "peak_memory.h"

#include "install/binary_patch.h"
#ifdef KORVEL_BENCH_MAKER
#include "patch_maker.h"
#endif

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <cstring>

namespace {

int apply(const QString &basePath, const QString &patchPath, const QString &outPath)
{
    QFile base(basePath);
    QFile patch(patchPath);
    QFile out(outPath);
    if (!base.open(QIODevice::ReadOnly) || !patch.open(QIODevice::ReadOnly)
        || !out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fprintf(stderr, "cannot open the files\n");
        return 1;
    }
    const long long before = peakResidentKiB();
    QElapsedTimer timer;
    timer.start();
    const PatchStatus status = applyPatch(&patch, &base, &out);
    const bool flushed = out.flush();
    // Under Wine the process's start takes longer than applying: the caller needs this figure.
    printf("apply %s\napplying %lld ms\npeak resident %lld KiB\nbefore applying %lld KiB\n",
           patchStatusName(status), static_cast<long long>(timer.elapsed()), peakResidentKiB(), before);
    if (peakPrivateKiB() >= 0)
        printf("peak private %lld KiB\n", peakPrivateKiB());
    return status == PatchStatus::Applied && flushed ? 0 : 1;
}

#ifdef KORVEL_BENCH_MAKER
bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

int make(const QString &basePath, const QString &resultPath, const QString &patchPath, const QString &dump)
{
    QFile baseFile(basePath);
    QFile resultFile(resultPath);
    if (!baseFile.open(QIODevice::ReadOnly) || !resultFile.open(QIODevice::ReadOnly)) {
        fprintf(stderr, "cannot open the files\n");
        return 1;
    }
    const QByteArray base = baseFile.readAll();
    const QByteArray result = resultFile.readAll();
    QString error;
    if (!dump.isEmpty()) {
        PatchContent content;
        if (!diffFiles(base, result, &content, &error) || !writeFile(dump + ".control", content.control)
            || !writeFile(dump + ".diff", content.diff) || !writeFile(dump + ".extra", content.extra)) {
            fprintf(stderr, "dump failed: %s\n", qPrintable(error));
            return 1;
        }
    }
    QByteArray patch;
    if (!makePatch(base, result, &patch, &error) || !writeFile(patchPath, patch)) {
        fprintf(stderr, "make failed: %s\n", qPrintable(error));
        return 1;
    }
    QFile patchFile(patchPath);
    PatchHeader header;
    if (!patchFile.open(QIODevice::ReadOnly) || readPatchHeader(&patchFile, &header) != PatchStatus::Applied)
        return 1;
    const char *names[patch::StreamCount] = {"control", "diff", "extra"};
    for (int i = 0; i < patch::StreamCount; ++i) {
        const PatchStream &s = header.streams[size_t(i)];
        printf("%s %llu %llu\n", names[i], static_cast<unsigned long long>(s.unpackedSize),
               static_cast<unsigned long long>(s.packedSize));
    }
    printf("patch %lld\n", static_cast<long long>(patch.size()));
    printf("peak resident %lld KiB\n", peakResidentKiB());
    return 0;
}
#endif

} // namespace

int main(int argc, char **argv)
{
    auto arg = [&](int i) { return QString::fromLocal8Bit(argv[i]); };
    if (argc == 5 && strcmp(argv[1], "apply") == 0)
        return apply(arg(2), arg(3), arg(4));
#ifdef KORVEL_BENCH_MAKER
    if ((argc == 5 || argc == 6) && strcmp(argv[1], "make") == 0)
        return make(arg(2), arg(3), arg(4), argc == 6 ? arg(5) : QString());
#endif
    fprintf(stderr, "usage: korvel-bench-patch make BASE RESULT PATCH [DUMP] | apply BASE PATCH OUT\n");
    return 2;
}
