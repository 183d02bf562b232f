#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <random>

// Runs an external program (7zz, xz, the publisher, ...) to its end, in workDir when given,
// with input on its standard input. Returns its exit code, or -1 when it could not be started
// or did not finish within two minutes (it is then killed). output receives stdout + stderr.
int runTool(const QString &program, const QStringList &arguments, const QString &workDir = {},
            const QByteArray &input = {}, QByteArray *output = nullptr);

// `7zz a -bd -bso0 -bsp0 archive <switchesAndFiles...>` run inside workDir; true on exit code 0.
// archive may be relative to workDir.
bool make7z(const QString &workDir, const QString &archive, const QStringList &switchesAndFiles);

// Bytes distributed like machine code: skewed, with many call opcodes.
QByteArray codeLikeBytes(int size, std::mt19937 &rng);
// What a rebuild after a small change does to a library: new code inserted in the middle moves
// everything after it, and scattered words change (one in 3500 bytes).
QByteArray rebuiltBinary(const QByteArray &library, std::mt19937 &rng);
