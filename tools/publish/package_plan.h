#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class QDir;
struct PublishRequest;

// How a release's source is cut into packages.
namespace publish {

struct Package {
    QString name;
    QStringList paths; // relative to the source, sorted
    QByteArray md5Hex;
    QByteArray sha256Hex; // with size: what a client with release keys checks besides the MD5
    qint64 size = -1;
    // Where the package's bytes are published: this version's, or an earlier version's when
    // that one published the very same bytes.
    QString version;
    QString no;
    // The packed file waiting to be published; empty when its bytes are published already.
    QString staged;
};

struct SourceFile {
    QString path; // relative to the source
    qint64 size;
};

// One package per top-level entry of the source, unless the request's packages file groups
// paths; top-level entries the file does not mention keep a package of their own. False, after
// saying why, when the file cannot be read, names a path that is not a top-level entry, or
// gives a package a name that is not usable.
bool planPackages(const PublishRequest &request, QList<Package> *packages);

// Every package over packageSize bytes becomes its pieces, in place (see package_plan.cpp).
void splitLargePackages(const QDir &source, qint64 packageSize, QList<Package> *packages);

// Refuses, before anything is packed, a release that clients would refuse to install: a file
// of 4 GiB or more, two paths that are one file where letter case does not count (Windows), or
// a path that the clients' commit keeps for itself in a version directory. False after saying
// which.
bool checkSourceFiles(const QDir &source, const QList<Package> &packages);

// The files below the given top-level entries, and the directories that hold nothing (they
// would be lost otherwise), in sorted order.
QList<SourceFile> filesOf(const QDir &source, const QStringList &entries);

} // namespace publish
