#include "support/installed_layout.h"

#include "support/target.h"
#include "support/temp_home.h"

#include <QFile>

namespace {

QString xmlEscaped(const QString &text)
{
    return text.toHtmlEscaped();
}

} // namespace

QString installProgram(const QString &dir)
{
    const QString path = dir + QStringLiteral("/Korvel.exe");
    if (!writeFile(path, readFile(target::program())))
        return {};
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

bool writeLocalManifest(const QString &versionDir, const QString &file, const QString &function)
{
    const QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Manifest>\n"
                                       "  <Entry file=\"%1\" function=\"%2\"/>\n</Manifest>\n")
                            .arg(xmlEscaped(file), xmlEscaped(function));
    return writeFile(versionDir + QStringLiteral("/manifest.xml"), xml.toUtf8());
}

bool installSampleClient(const QString &versionDir, const QString &version, const QString &function,
                         const QString &fileName)
{
#ifdef KORVEL_SAMPLE_CLIENT
    return writeFile(versionDir + QLatin1Char('/') + fileName, readFile(target::sampleClient()))
        && writeFile(versionDir + QStringLiteral("/sample_version.txt"), version.toUtf8() + '\n')
        && writeLocalManifest(versionDir, fileName, function);
#else
    Q_UNUSED(versionDir)
    Q_UNUSED(version)
    Q_UNUSED(function)
    Q_UNUSED(fileName)
    return false;
#endif
}

bool writeCatalogue(const QString &baseDir, const QStringList &versions)
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Versions>\n");
    for (const QString &v : versions)
        xml += QStringLiteral("  <Version version=\"%1\"/>\n").arg(xmlEscaped(v));
    xml += QStringLiteral("</Versions>\n");
    return writeFile(baseDir + QStringLiteral("/versions.xml"), xml.toUtf8());
}

QByteArray sampleField(const QByteArray &output, const QByteArray &key)
{
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith(key + ": "))
            return line.mid(key.size() + 2);
    }
    return {};
}
