#include "engine/version_catalogue.h"

#include "engine/path_names.h"
#include "platform/library.h"

#include <QDir>

CommandHandler VersionEntry::loadEntryFunction()
{
    if (m_entryFile.isEmpty() && !loadLocalManifest())
        return nullptr;
    // The entry file comes from a manifest: nothing outside the version directory.
    if (!staysInside(m_entryFile))
        return nullptr;

    const QString directory = m_versionDir.absolutePath();
    // The client expects to run in its version directory, and its own libraries lie there.
    platform::setCurrentDirectory(directory);
    platform::setLibrarySearchDirectory(directory);

    platform::Library library = platform::Library::load(m_versionDir.absoluteFilePath(m_entryFile));
    const auto entry = reinterpret_cast<CommandHandler>(library.resolve(m_entryFunction.toUtf8()));
    if (!entry)
        return nullptr; // the library is unloaded again; the directory stays changed

    // Programs the client starts are looked up in its directory first. An unset or empty PATH
    // becomes the directory alone: an empty element would mean the current directory.
    const QString oldPath = platform::environmentVariable("PATH");
    platform::setEnvironmentVariable(
        "PATH", oldPath.isEmpty() ? directory : directory + QDir::listSeparator() + oldPath);

    // The client runs from this library until the process ends.
    library.keepLoadedForever();
    return entry;
}
