#include "platform/shell_integration.h"

#include <QDir>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

// Windows: a shortcut is a shell link (".lnk") made through the shell's COM objects; the URL
// scheme lives in the registry keys that the program writes through QSettings anyway, which is
// where the shell looks, so the scheme calls have nothing to add.
namespace platform {

namespace {

// Releases one COM interface pointer.
template <typename T>
class ComPointer {
public:
    ComPointer() = default;
    ~ComPointer()
    {
        if (m_pointer)
            m_pointer->Release();
    }
    ComPointer(const ComPointer &) = delete;
    ComPointer &operator=(const ComPointer &) = delete;
    T *operator->() const { return m_pointer; }
    T *get() const { return m_pointer; }
    void **out() { return reinterpret_cast<void **>(&m_pointer); }

private:
    T *m_pointer = nullptr;
};

// Initialises COM on the calling thread for the object's life (apartment-threaded, the
// default); a thread that had it already keeps it, since every success is matched.
class ComApartment {
public:
    ComApartment() : m_initialised(SUCCEEDED(::CoInitialize(nullptr))) {}
    ~ComApartment()
    {
        if (m_initialised)
            ::CoUninitialize();
    }
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;

private:
    bool m_initialised;
};

} // namespace

QString shortcutSuffix()
{
    return QStringLiteral(".lnk");
}

bool createShortcut(const QString &path, const QString &target, const QString &description)
{
    const ComApartment apartment;
    ComPointer<IShellLinkW> link;
    if (FAILED(
            ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out())))
        return false;
    link->SetPath(QDir::toNativeSeparators(target).toStdWString().c_str());
    link->SetDescription(description.toStdWString().c_str());
    ComPointer<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.out())))
        return false;
    return SUCCEEDED(file->Save(QDir::toNativeSeparators(path).toStdWString().c_str(), TRUE));
}

// The Start menu is the user's to arrange; the program is found through its shortcut and the
// list of installed programs.
bool addApplicationMenuEntry(const QString &, const QString &, const QString &)
{
    return true;
}

void removeApplicationMenuEntry(const QString &) {}

bool registerUrlScheme(const QString &, const QString &, const QString &)
{
    return true;
}

void unregisterUrlScheme(const QString &) {}

} // namespace platform
