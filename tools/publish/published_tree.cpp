#include "published_tree.h"

#include "external_tools.h"
#include "package_plan.h"
#include "publish_log.h"
#include "release_files.h"

#include "engine/path_names.h"
#include "engine/server_layout.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace publish {
namespace {

// The publisher's notes of what it packed.
const char kPackedInputs[] = ".korvel-publish/packed-inputs";

// The tree is laid out as the servers are (engine/server_layout.h): a path of that layout, which
// starts with "/", relative to the tree.
QString inTree(const QString &urlPath)
{
    return urlPath.mid(1);
}

// Whether path is free for the bytes of digest (an MD5 in hex): no file there, or one with
// those very bytes.
bool isFreeFor(const QString &path, const QByteArray &digest)
{
    return !QFileInfo::exists(path) || md5Hex(path) == digest;
}

} // namespace

QString catalogueFile(const QDir &tree)
{
    return tree.absoluteFilePath(inTree(server_layout::cataloguePath()));
}

QString manifestFile(const QDir &tree, const QString &version)
{
    return tree.absoluteFilePath(inTree(server_layout::manifestPath(version)));
}

QString componentPath(const QString &name, const QString &no)
{
    return inTree(server_layout::componentPackagePath(name, no));
}

QString mirrorPath(const QString &name, const QString &no)
{
    return inTree(server_layout::mirrorPackagePath(name, no));
}

bool PublishedPackages::read(const QDir &tree, const QList<Listed> &listed)
{
    const QDir manifests(tree.filePath(inTree(server_layout::manifestDir())));
    QStringList versions;
    for (const Listed &entry : listed)
        versions.append(entry.version);
    for (const QString &file : manifests.entryList({QStringLiteral("*.xml")}, QDir::Files, QDir::Name)) {
        const QString version = file.chopped(4);
        if (!versions.contains(version))
            versions.append(version);
    }
    for (const QString &version : versions) {
        QList<ListedPackage> packages;
        if (!readManifestPackages(manifests.filePath(version + QStringLiteral(".xml")), &packages))
            return false;
        for (const ListedPackage &package : qAsConst(packages)) {
            // The path argument leads into the tree as well.
            if (!isPublishableName(package.name) || !isPublishableName(package.version)
                || !isPublishableName(package.no))
                continue;
            m_byHash[package.md5Hex].append(Record{package.name, package.version, package.no});
        }
    }
    return true;
}

bool PublishedPackages::find(const QDir &tree, const QByteArray &md5Hex, Record *found)
{
    for (const Record &record : m_byHash.value(md5Hex)) {
        if (digestOf(tree.absoluteFilePath(componentPath(record.name, record.no))) == md5Hex) {
            *found = record;
            return true;
        }
    }
    return false;
}

QByteArray PublishedPackages::digestOf(const QString &path)
{
    auto cached = m_digests.constFind(path);
    if (cached == m_digests.cend())
        cached = m_digests.insert(path, md5Hex(path));
    return *cached;
}

void PackedInputs::read(const QDir &tree)
{
    QFile file(tree.filePath(QLatin1String(kPackedInputs)));
    if (!file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd()) {
        const QList<QByteArray> words = file.readLine().trimmed().split(' ');
        if (words.size() == 2)
            m_digests.insert(words.at(0), words.at(1));
    }
}

bool PackedInputs::write(const QDir &tree) const
{
    QByteArray text;
    for (auto it = m_digests.cbegin(); it != m_digests.cend(); ++it)
        text += it.key() + ' ' + it.value() + '\n';
    return writeAtomically(tree.filePath(QLatin1String(kPackedInputs)), text);
}

QByteArray PackedInputs::inputsOf(const QDir &source, const QStringList &paths)
{
    QCryptographicHash inputs(QCryptographicHash::Md5);
    inputs.addData(archiverIdentity());
    // Whole entries bring their directories too, with their modes.
    QList<SourceFile> items = filesOf(source, paths);
    for (const QString &path : paths) {
        QDirIterator it(source.filePath(path), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            items.append(SourceFile{QDir(source.absolutePath()).relativeFilePath(it.next()), -1});
    }
    std::sort(items.begin(), items.end(),
              [](const SourceFile &a, const SourceFile &b) { return a.path < b.path; });
    for (const SourceFile &item : items) {
        const QFileInfo info(source.filePath(item.path));
        inputs.addData(item.path.toUtf8() + '\0');
        inputs.addData(QByteArray::number(int(info.permissions())) + (info.isDir() ? "d" : "f")
                       + (info.isSymLink() ? "l" : "") + '\0');
        if (info.isDir())
            continue;
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QCryptographicHash content(QCryptographicHash::Md5);
        content.addData(&file);
        inputs.addData(QByteArray::number(info.size()) + ' ' + content.result() + '\0');
    }
    return inputs.result().toHex();
}

bool reusePacked(const QDir &tree, const PackedInputs &packed, const QByteArray &inputs,
                 PublishedPackages *published, Package *package)
{
    const QByteArray md5 = inputs.isEmpty() ? QByteArray() : packed.packedAs(inputs);
    PublishedPackages::Record earlier;
    if (md5.isEmpty() || !published->find(tree, md5, &earlier)
        || !QFileInfo::exists(tree.absoluteFilePath(mirrorPath(earlier.name, earlier.no)))
        || !sha256Hex(tree.absoluteFilePath(componentPath(earlier.name, earlier.no)), &package->sha256Hex,
                      &package->size))
        return false;
    package->md5Hex = md5;
    package->name = earlier.name;
    package->version = earlier.version;
    package->no = earlier.no;
    return true;
}

QString freeNo(const QDir &tree, const QString &name, const QString &version, const QByteArray &digest)
{
    for (const int digits : {0, 8, 16, 32}) {
        const QString no =
            digits == 0 ? version : version + QLatin1Char('-') + QString::fromLatin1(digest.left(digits));
        if (isFreeFor(tree.absoluteFilePath(componentPath(name, no)), digest)
            && isFreeFor(tree.absoluteFilePath(mirrorPath(name, no)), digest))
            return no;
    }
    return {};
}

bool placePackage(const QDir &tree, const Package &package)
{
    const QString component = tree.absoluteFilePath(componentPath(package.name, package.no));
    const QString mirror = tree.absoluteFilePath(mirrorPath(package.name, package.no));
    if (!package.staged.isEmpty() && !QFileInfo::exists(component)
        && (!QDir().mkpath(QFileInfo(component).absolutePath())
            || !QFile::rename(package.staged, component))) {
        fail(QStringLiteral("cannot place package %1").arg(package.name));
        return false;
    }
    return QFileInfo::exists(mirror) || copyAtomically(component, mirror);
}

bool bindManifests(const QDir &tree, QList<Listed> *versions)
{
    for (Listed &listed : *versions) {
        const QString path = manifestFile(tree, listed.version);
        if (!isPublishableName(listed.version)
            || !sha256Hex(path, &listed.manifestSha256Hex, &listed.manifestSize)) {
            fail(QStringLiteral("the catalogue lists %1, but %2 cannot be read: a signed catalogue names "
                                "each listed version's manifest")
                     .arg(listed.version, path));
            return false;
        }
    }
    return true;
}

} // namespace publish
