// The sample client. Its entry functions print, one per line:
//   entry: <name of the function called>
//   tail: <the command line tail, UTF-8>
//   cwd: <working directory>
//   path: <PATH>
//   version: <the first line of "sample_version.txt" next to the library, else the built-in>
//   pid: <process id>
// to standard output, and append the same lines to the file named by KORVEL_SAMPLE_REPORT
// when that is set (for processes whose output nobody reads). They return the number in
// KORVEL_SAMPLE_EXIT, or 0, after sleeping KORVEL_SAMPLE_SLEEP milliseconds when that is set
// (a client that keeps running). Until it returns it keeps the file named by KORVEL_SAMPLE_LOG
// (relative to its working directory) open for writing, as a client keeps its log, sharing
// it with readers only.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#define KORVEL_EXPORT __declspec(dllexport)
// The tail as Windows hands it over: UTF-16 in wchar_t.
using TailChar = wchar_t;
#else
#include <dlfcn.h>
#include <unistd.h>
#define KORVEL_EXPORT __attribute__((visibility("default")))
using TailChar = char16_t;
#endif

namespace {

std::string toUtf8(const char16_t *text)
{
    std::string out;
    for (const char16_t *p = text; p && *p; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

#ifdef _WIN32
// Windows keeps its own UTF-16 environment, which the C runtime's copy does not follow: the
// launcher changes PATH there.
std::string environment(const char *name)
{
    std::wstring wide(name, name + std::strlen(name));
    wchar_t value[32768];
    const DWORD n = GetEnvironmentVariableW(wide.c_str(), value, 32768);
    if (n == 0 || n >= 32768)
        return std::string();
    value[n] = 0;
    return toUtf8(reinterpret_cast<const char16_t *>(value));
}

std::string libraryPath()
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&toUtf8), &self);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(self, path, MAX_PATH);
    std::string utf8 = toUtf8(reinterpret_cast<const char16_t *>(path));
    for (char &c : utf8)
        c = c == '\\' ? '/' : c;
    return utf8;
}

std::string workingDirectory()
{
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::string utf8 = toUtf8(reinterpret_cast<const char16_t *>(cwd));
    for (char &c : utf8)
        c = c == '\\' ? '/' : c;
    return utf8;
}

long processId()
{
    return long(GetCurrentProcessId());
}
void sleepMilliseconds(int ms)
{
    Sleep(DWORD(ms));
}

// Opens the log for writing, shared with readers only, and closes it when this ends.
class OpenLog {
public:
    explicit OpenLog(const char *path)
        : m_file(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~OpenLog()
    {
        if (m_file != INVALID_HANDLE_VALUE)
            CloseHandle(m_file);
    }
    OpenLog(const OpenLog &) = delete;
    OpenLog &operator=(const OpenLog &) = delete;

private:
    HANDLE m_file;
};
#else
std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

std::string libraryPath()
{
    Dl_info info;
    return dladdr(reinterpret_cast<void *>(&toUtf8), &info) && info.dli_fname ? info.dli_fname : "";
}

std::string workingDirectory()
{
    char cwd[4096] = {};
    return getcwd(cwd, sizeof cwd) ? cwd : "";
}

long processId()
{
    return long(getpid());
}
void sleepMilliseconds(int ms)
{
    usleep(useconds_t(ms) * 1000u);
}

// Opens the log for writing and closes it when this ends.
class OpenLog {
public:
    explicit OpenLog(const char *path) : m_file(std::fopen(path, "ab")) {}
    ~OpenLog()
    {
        if (m_file)
            std::fclose(m_file);
    }
    OpenLog(const OpenLog &) = delete;
    OpenLog &operator=(const OpenLog &) = delete;

private:
    FILE *m_file;
};
#endif

std::string version()
{
    std::string path = libraryPath();
    if (!path.empty()) {
        const size_t slash = path.rfind('/');
        path =
            (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/sample_version.txt";
        if (FILE *f = std::fopen(path.c_str(), "r")) {
            char line[256] = {};
            const bool read = std::fgets(line, sizeof line, f) != nullptr;
            std::fclose(f);
            std::string v = read ? line : "";
            while (!v.empty() && (v.back() == '\n' || v.back() == '\r'))
                v.pop_back();
            if (!v.empty())
                return v;
        }
    }
    return KORVEL_SAMPLE_VERSION;
}

int run(const char *entry, const TailChar *wideTail)
{
    static_assert(sizeof(TailChar) == sizeof(char16_t), "the tail is UTF-16");
    // Open before the report, so whoever has read the report finds the log open.
    const char *log = std::getenv("KORVEL_SAMPLE_LOG");
    const OpenLog heldLog(log ? log : "");
    const auto *tail = reinterpret_cast<const char16_t *>(wideTail);
    const std::string report = std::string("entry: ") + entry + "\ntail: " + toUtf8(tail)
        + "\ncwd: " + workingDirectory() + "\npath: " + environment("PATH") + "\nversion: " + version()
        + "\npid: " + std::to_string(processId()) + "\n";
    // The file first: a process whose standard output nobody reads any more may not survive
    // writing to it.
    if (const char *file = std::getenv("KORVEL_SAMPLE_REPORT")) {
        if (FILE *f = std::fopen(file, "ab")) {
            std::fputs(report.c_str(), f);
            std::fclose(f);
        }
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY); // lines end in "\n" here too
#endif
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    if (const char *sleep = std::getenv("KORVEL_SAMPLE_SLEEP"))
        sleepMilliseconds(std::atoi(sleep));
    const char *exitCode = std::getenv("KORVEL_SAMPLE_EXIT");
    return exitCode ? std::atoi(exitCode) : 0;
}

} // namespace

extern "C" KORVEL_EXPORT int korvel_entry(const TailChar *tail)
{
    return run("korvel_entry", tail);
}

// The same under a name with non-ASCII characters: the launcher looks names up by their
// UTF-8 bytes.
extern "C" KORVEL_EXPORT int 客户端入口(const TailChar *tail)
{
    return run("客户端入口", tail);
}
