#include "support/tools.h"

#include <QProcess>

#include <cstring>

int runTool(const QString &program, const QStringList &arguments, const QString &workDir,
            const QByteArray &input, QByteArray *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    process.start(program, arguments);
    if (!process.waitForStarted(30000))
        return -1;
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool make7z(const QString &workDir, const QString &archive, const QStringList &switchesAndFiles)
{
    QStringList args{QStringLiteral("a"), QStringLiteral("-bd"), QStringLiteral("-bso0"),
                     QStringLiteral("-bsp0"), archive};
    args += switchesAndFiles;
    return runTool(QStringLiteral("7zz"), args, workDir) == 0;
}

QByteArray codeLikeBytes(int size, std::mt19937 &rng)
{
    static const char alphabet[] = "\x00\x00\x00\xe8\x48\x89\x8b\xff\x0f\x85\xc3\x24\x45\x01\x10\x20";
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data) {
        const quint32 r = rng();
        c = r % 4 == 0 ? char(r >> 8) : alphabet[(r >> 8) % 16];
    }
    return data;
}

QByteArray rebuiltBinary(const QByteArray &library, std::mt19937 &rng)
{
    QByteArray out = library;
    out.insert(out.size() / 3, codeLikeBytes(8192, rng));
    for (int i = 0; i < out.size() / 3500; ++i) {
        const int at = int(rng() % quint32(out.size() - 4)) & ~3;
        const quint32 word = rng();
        memcpy(out.data() + at, &word, 4);
    }
    return out;
}
