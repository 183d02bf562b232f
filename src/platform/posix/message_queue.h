#pragma once

#include "platform/window_system.h"

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <set>

// The part of a message loop that both window backends share: messages posted from any
// thread (waking the loop through an eventfd, on Windows an event object), the quit request,
// and the loop thread's timers.
namespace platform {

class EventFd {
public:
    EventFd();
    ~EventFd();
    EventFd(const EventFd &) = delete;
    EventFd &operator=(const EventFd &) = delete;
    int get() const { return m_fd; }
    void signal() const;
    void drain() const;

private:
    int m_fd = -1;
};

class MessageQueue {
public:
    struct Item {
        enum Kind { Message, Timer } kind = Message;
        WindowId window = 0;
        int n = 0; // message number, or the timer id
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
    };

    // Any thread.
    void addWindow(WindowId window);
    bool post(WindowId window, int n, std::uintptr_t wParam, std::intptr_t lParam);
    void postQuit(int code);
    bool quitPending(int *code) const;

    // Loop thread only.
    void forgetWindow(WindowId window); // drops its messages and timers
    void clearQuit();
    void setTimer(WindowId window, int id, int periodMs);
    void killTimer(WindowId window, int id);
    // Milliseconds until the next timer is due (0 when one is due), -1 without timers.
    int msUntilNextTimer() const;
    // The next posted message, else the next due timer (rescheduled a period later).
    bool takeNext(Item *item);
    // The descriptor that becomes readable when something was posted; drain() after waking.
    int wakeFd() const { return m_wake.get(); }
    void drain() const { m_wake.drain(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        int periodMs = 0;
        Clock::time_point due;
    };

    mutable std::mutex m_mutex;
    EventFd m_wake;
    std::set<WindowId> m_windows;
    std::deque<Item> m_messages;
    bool m_quit = false;
    int m_quitCode = 0;
    std::map<std::pair<WindowId, int>, Timer> m_timers; // loop thread only
};

// Waits until fd (or -1 for none) becomes readable, something is posted, or timeoutMs passes
// (-1: no limit).
void waitForEvents(const MessageQueue &queue, int fd, int timeoutMs);

} // namespace platform
