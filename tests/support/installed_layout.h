#pragma once

#include <QString>
#include <QStringList>

// Hand-built installations for tests that start the launcher.

// Copies the built program to dir / "Korvel.exe" (executable); returns its path, or an empty
// string on failure.
QString installProgram(const QString &dir);

// Makes versionDir an installed version of the sample client: the library copied in as
// fileName, "sample_version.txt" holding version (what the client reports), and a
// "manifest.xml" whose Entry names fileName and function. False on any write failure.
bool installSampleClient(const QString &versionDir, const QString &version,
                         const QString &function = QStringLiteral("korvel_entry"),
                         const QString &fileName = QStringLiteral("client.so"));

// Writes "manifest.xml" in versionDir with one Entry (file, function) and nothing else.
bool writeLocalManifest(const QString &versionDir, const QString &file, const QString &function);

// Writes baseDir / "versions.xml" listing these versions in this order (no tag line).
bool writeCatalogue(const QString &baseDir, const QStringList &versions);

// The value after "key: " on the first such line of the sample client's output; empty if none.
QByteArray sampleField(const QByteArray &output, const QByteArray &key);
