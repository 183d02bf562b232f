#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

// Processes: what the program needs of the operating system to know itself, start others,
// wait and run work beside the main thread.
namespace platform {

// Absolute path the running executable was started from; on Linux /proc/self/exe resolved
// (also after that file was replaced or deleted). Empty when the system cannot tell.
QString executablePath();

// Starts argv[0] with the arguments argv[1..], the caller's environment and current
// directory, and does not wait for it. argv[0] is both the program and the new process's
// argument 0: a name without a slash is looked up in PATH, anything else is a path (relative
// ones to the current directory). Returns the new process's id when the program was found and
// its image executed (a file the system cannot execute counts as not started); -1 otherwise,
// also for an empty argv. A detached thread reaps the new process when it ends, so no zombie
// stays behind; if we end first, it is adopted like any orphan. It inherits only descriptors
// opened without close-on-exec, and starts with no blocked or ignored signals. Safe to call
// from any thread.
qint64 startDetachedProcess(const QStringList &argv);

// Starts a program from a command line built by Windows' rules (platform/command_line.h).
// Windows hands commandLine to the new process as it stands (its C runtime splits it there)
// and lets it inherit our inheritable handles; elsewhere the line is split by those rules
// (splitCommandLine) and started as by startDetachedProcess. Returns the new process's id, or
// -1.
qint64 startCommandLine(const QString &commandLine);

// Starts a temporary copy of the executable program, under its own file name in a new
// directory of its own in the temporary directory (named from the first three characters of
// its base name, hexadecimal digits and ".tmp"), with the arguments of argumentLine, a command
// line tail by Windows' rules that begins with a blank (handed on as it stands on Windows, split
// by splitArguments elsewhere). The copy and its directory remove themselves: on Windows
// inheritable delete-on-close handles delete them when the last process holding them ends; on
// Linux their names are unlinked once the copy runs. True when the copy was started; a copy
// that could not be made whole is never started.
bool startTemporaryCopy(const QString &program, const QString &argumentLine);

// Whether the process runs with the elevated token the system made from a user's limited one
// ("run as administrator", or the system's own elevation of what it takes for an installer).
// A per-user install must not run so: it would install into the elevated account's profile
// and leave files the user's own programs cannot change. Windows: the token's elevation type is
// "full"; under Wine, which gives every process that token and has no limited one, false unless
// KORVEL_WINE_ELEVATION is "1" (the tests' way to see the refusal). Linux: always false, as
// root is an account of its own rather than a user's elevated self (and the tests run as root).
bool runsElevatedAboveItsUser();

// Fits the heap to a process of a few busy threads; call first thing, before any thread starts.
// Linux: glibc gives each thread that allocates an arena of its own (up to eight per core) and
// keeps what was freed in each, so the transfer threads' arenas added megabytes to the peak of an
// install; four arenas, shared by all, hold the same. Windows: nothing (one heap serves all).
void prepareHeap();

// Blocks the calling thread for at least the given milliseconds (negative: not at all).
void sleepMilliseconds(int milliseconds);

// Ends the process at once with code, after flushing the C standard streams: no static
// destructors and no exit handlers run, so threads still at work are not pulled out from
// under them.
[[noreturn]] void exitProcessNow(int code);

// Runs work on a new thread that nobody joins; it ends with the process at the latest (on
// Windows never before: it waits there once work has returned). Returns false when the system
// refused the thread (work is then not run).
bool startDetachedThread(std::function<void()> work);

// A thread its owner waits for: join(), or at the latest the destructor, returns only after
// the work has, so the work never outlives what it was given.
class JoinedThread {
public:
    JoinedThread() = default;
    ~JoinedThread() { join(); }
    JoinedThread(const JoinedThread &) = delete;
    JoinedThread &operator=(const JoinedThread &) = delete;

    // Runs work on a new thread. False when the system refused the thread, or one was already
    // started; work is then not run.
    bool start(std::function<void()> work);
    // Waits until the work has returned; returns at once when no thread runs.
    void join();

private:
    std::function<void()> m_work;
    std::uintptr_t m_handle = 0; // the system's thread identity or handle
    bool m_started = false;
};

// The paths that all running processes this process may inspect were started from, one entry
// per process, in no particular order, also when that file has since been replaced or deleted
// (the process still runs what was started from the path). Processes whose executable cannot
// be read (another user's, gone meanwhile) are left out. Empty when the process list cannot be
// read at all.
QStringList runningExecutables();

} // namespace platform
