#include "external_tools.h"

#include "publish_log.h"
#include "publisher.h"

#include "base/product.h"
#include "install/commit.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace publish {
namespace {

// Fixed switches keep the packages reproducible: no stored times, one thread (LZMA2's block
// split depends on the thread count), the same method everywhere. Names are taken literally
// (a file may be called "*"), and a file that cannot be read stops the packing instead of
// being left out with a warning. The files are named one by one, in sorted order, so an
// archive depends on nothing but the names, contents and modes of its files.
const QStringList kSevenZipSwitches{"-t7z",     "-m0=LZMA2", "-mx=7", "-mmt=1", "-mtm=off", "-mtc=off",
                                    "-mta=off", "-spd",      "-sse",  "-bd",    "-bso0",    "-bsp0"};

// Copies the file or directory tree from to the path to (which must not exist yet).
bool copyEntry(const QString &from, const QString &to)
{
    if (!QDir().mkpath(QFileInfo(to).absolutePath()))
        return false;
    if (!QFileInfo(from).isDir())
        return QFile::copy(from, to);
    if (!QDir().mkpath(to))
        return false;
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(from);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString copy = to + QLatin1Char('/') + base.relativeFilePath(path);
        if (it.fileInfo().isDir() ? !QDir().mkpath(copy) : !QFile::copy(path, copy))
            return false;
    }
    return true;
}

// Signs the launcher with Authenticode: the PE file's own signature, which the system shows
// when the downloaded program is started and which SmartScreen weighs. The signing time comes
// from the clock, so a signed launcher is not byte-for-byte reproducible.
bool signLauncher(const PublishRequest &request, const QString &input, const QString &output)
{
    QProcess signer;
    signer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    signer.setStandardOutputFile(QProcess::nullDevice());
    signer.start(QStringLiteral("osslsigncode"),
                 {QStringLiteral("sign"), QStringLiteral("-certs"), request.authenticodeCertificate,
                  QStringLiteral("-key"), request.authenticodeKey, QStringLiteral("-n"),
                  QStringLiteral(KORVEL_PRODUCT_NAME), QStringLiteral("-h"), QStringLiteral("sha256"),
                  QStringLiteral("-in"), input, QStringLiteral("-out"), output});
    if (!signer.waitForStarted()) {
        fail(QStringLiteral("cannot run osslsigncode"));
        return false;
    }
    signer.waitForFinished(-1);
    if (signer.exitStatus() != QProcess::NormalExit || signer.exitCode() != 0
        || !QFileInfo(output).isFile()) {
        fail(QStringLiteral("osslsigncode could not sign %1").arg(input));
        return false;
    }
    return true;
}

} // namespace

bool makeArchive(const QString &sourceDir, const QStringList &paths, const QString &archive)
{
    // 7zz adds to an existing archive; always start from nothing.
    QFile::remove(archive);
    QProcess sevenZip;
    sevenZip.setWorkingDirectory(sourceDir);
    sevenZip.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sevenZip.setStandardOutputFile(QProcess::nullDevice());
    QStringList args{QStringLiteral("a")};
    args += kSevenZipSwitches;
    args += archive;
    args += QStringLiteral("--");
    args += paths;
    sevenZip.start(QStringLiteral("7zz"), args);
    if (!sevenZip.waitForStarted()) {
        fail(QStringLiteral("cannot run 7zz"));
        return false;
    }
    sevenZip.waitForFinished(-1);
    if (sevenZip.exitStatus() != QProcess::NormalExit || sevenZip.exitCode() != 0) {
        const QString what = paths.size() <= 3
            ? paths.join(QLatin1Char(' '))
            : QStringLiteral("%1 and %2 more").arg(paths.first()).arg(paths.size() - 1);
        fail(QStringLiteral("7zz failed on %1").arg(what));
        return false;
    }
    return true;
}

QByteArray archiverIdentity()
{
    static const QByteArray identity = [] {
        QByteArray banner;
        QProcess sevenZip;
        sevenZip.start(QStringLiteral("7zz"), {QStringLiteral("i")});
        sevenZip.waitForFinished(-1);
        for (const QByteArray &line : sevenZip.readAllStandardOutput().split('\n')) {
            if (line.startsWith("7-Zip")) {
                banner = line;
                break;
            }
        }
        return banner + kSevenZipSwitches.join(QLatin1Char(' ')).toUtf8();
    }();
    return identity;
}

bool stageSignedPackage(const PublishRequest &request, const QDir &source, const QStringList &paths,
                        const QString &staging)
{
    for (const QString &path : paths) {
        const QString to = staging + QLatin1Char('/') + path;
        if (path == QLatin1String(install::LauncherFileName)) {
            if (!signLauncher(request, source.filePath(path), to))
                return false;
        } else if (!copyEntry(source.filePath(path), to)) {
            fail(QStringLiteral("cannot copy %1 for signing").arg(path));
            return false;
        }
    }
    return true;
}

} // namespace publish
