#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>

// The program the road tests drive: the Linux build by default; with KORVEL_WINDOWS_BUILD
// naming the Windows build directory, its Korvel.exe run under Wine. The same tests then see
// the Windows program's world: TempHome gives each test a Wine prefix of its own (a hard-linked
// clone of the prefix KORVEL_WINE_TEMPLATE names), the program's files live in that prefix's
// drive_c, the registry is the prefix's, and processes are found through the prefix.
namespace target {

bool isWindows();
// The built program and the sample client library of the target. After useSignedProgram(true)
// the program is the target's build with the test release key (tests/support/release_key).
QString program();
void useSignedProgram(bool signedProgram);
QString sampleClient();

// A path (on this machine) as the program sees it, in Qt form: itself on Linux; on Windows
// "C:/..." inside the prefix's drive_c and "Z:/..." elsewhere.
QString seen(const QString &path);
// The same in the system's native form (backslashes on Windows).
QString native(const QString &path);
// The other way: a path the program reported (either form) as a path on this machine.
QString local(const QString &seenPath);
// The separator of PATH's elements.
QChar listSeparator();

// What starts program with arguments: itself, or through wine for a Windows program.
QString launcher(const QString &program);
QStringList launcherArguments(const QString &program, const QStringList &arguments);

// Windows only: the prefix of the current test (WINEPREFIX) and its user's profile folder.
QString winePrefix();
QString wineProfile();
// Windows only: a value of the current prefix's registry ("HKCU\\Software\\..."), read with
// `wine reg query`; name empty for the key's default value. Null when the key or value is
// missing.
QString registryValue(const QString &key, const QString &name);
bool registryKeyExists(const QString &key);
// Windows only: writes a value (type "REG_SZ", "REG_DWORD", "REG_BINARY" with data in hex
// digits, ...) into the current prefix's registry, creating the key. False when it failed.
bool setRegistryValue(const QString &key, const QString &name, const QString &type, const QString &data);
// Windows only: removes a key with everything below it; true when it is gone.
bool removeRegistryKey(const QString &key);

} // namespace target
