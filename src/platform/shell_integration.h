#pragma once

#include <QString>

// The desktop shell: shortcuts on the desktop and handlers of URL schemes, made so that the
// user's desktop environment finds them. Paths are in Qt form; a target is the launcher's native
// absolute path. Nothing here reports to the user; every call is safe on any thread that does not
// run it concurrently for the same files.
//
// Here (freedesktop): a shortcut is a launcher file "NAME.desktop" with the executable bit; a
// scheme handler is "SCHEME-url-handler.desktop" in $XDG_DATA_HOME/applications, made the default
// for x-scheme-handler/SCHEME in $XDG_CONFIG_HOME/mimeapps.list. On a system whose shell reads the
// registry keys that the program writes anyway, the scheme calls have nothing to do.
namespace platform {

// The ending of a shortcut's file name on this system, dot included: ".desktop".
QString shortcutSuffix();

// Writes (or overwrites) the shortcut file at path that starts target without arguments. Its
// shown name is the file's base name, its tooltip description. The directory must exist; a
// missing desktop directory means there is no desktop to put it on. False when it could not
// be written.
bool createShortcut(const QString &path, const QString &target, const QString &description);

// Lists target in the desktop's application menu as name, where the shell keeps that menu
// apart from what the program registers anyway: here "NAME.desktop" in
// $XDG_DATA_HOME/applications, with the keys of a shortcut and the category "Network". Most
// Linux desktops show no desktop icons, so without it the only way to start the client would be
// its URL scheme. Overwrites an entry of that name. On a system without such a menu file (the
// Windows build), nothing to do: true. False when it could not be written.
bool addApplicationMenuEntry(const QString &name, const QString &target, const QString &description);

// Removes the entry addApplicationMenuEntry wrote for name (nothing when there is none).
void removeApplicationMenuEntry(const QString &name);

// Makes links of scheme ("kv:...") start target with the link as its one argument, shown as
// name, and makes that the user's default handler of the scheme; other lines of the user's
// default-handler list are kept. Writing it again points it at the new target. False when the
// handler or the default could not be written (what was written stays).
bool registerUrlScheme(const QString &scheme, const QString &name, const QString &target);

// Removes the handler that registerUrlScheme wrote and the default that names it. A default
// that the user has since pointed at another program is left alone.
void unregisterUrlScheme(const QString &scheme);

} // namespace platform
