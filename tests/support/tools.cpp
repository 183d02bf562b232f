#include "support/tools.h"

#include <QProcess>

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
