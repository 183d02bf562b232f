#include "platform/posix/message_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

EventFd::EventFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventFd::~EventFd()
{
    if (fd_ >= 0) close(fd_);
}

void EventFd::signal() const
{
    const std::uint64_t one = 1;
    // A full counter already wakes the loop, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
}

void EventFd::drain() const
{
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t read_ = read(fd_, &count, sizeof count);
}

void MessageQueue::addWindow(WindowId window)
{
    std::lock_guard<std::mutex> lock(mutex_);
    windows_.insert(window);
}

bool MessageQueue::post(WindowId window, int n, std::uintptr_t wParam, std::intptr_t lParam)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!windows_.count(window)) return false;
        Item item;
        item.kind = Item::Message;
        item.window = window;
        item.n = n;
        item.wParam = wParam;
        item.lParam = lParam;
        messages_.push_back(item);
    }
    wake_.signal();
    return true;
}

void MessageQueue::postQuit(int code)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The first quit decides the code; later ones only repeat the request.
        if (!quit_) quitCode_ = code;
        quit_ = true;
    }
    wake_.signal();
}

bool MessageQueue::quitPending(int *code) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (quit_ && code) *code = quitCode_;
    return quit_;
}

void MessageQueue::forgetWindow(WindowId window)
{
    std::lock_guard<std::mutex> lock(mutex_);
    windows_.erase(window);
    for (auto it = messages_.begin(); it != messages_.end();)
        it = it->window == window ? messages_.erase(it) : it + 1;
    for (auto it = timers_.begin(); it != timers_.end();)
        it = it->first.first == window ? timers_.erase(it) : std::next(it);
}

void MessageQueue::clearQuit()
{
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = false;
    quitCode_ = 0;
}

void MessageQueue::setTimer(WindowId window, int id, int periodMs)
{
    Timer timer;
    timer.periodMs = periodMs > 0 ? periodMs : 1;
    timer.due = Clock::now() + std::chrono::milliseconds(timer.periodMs);
    timers_[{window, id}] = timer;
}

void MessageQueue::killTimer(WindowId window, int id)
{
    timers_.erase({window, id});
}

int MessageQueue::msUntilNextTimer() const
{
    if (timers_.empty()) return -1;
    Clock::time_point next = Clock::time_point::max();
    for (const auto &entry : timers_) next = std::min(next, entry.second.due);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return wait <= 0 ? 0 : static_cast<int>(wait) + 1;
}

bool MessageQueue::takeNext(Item *item)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!messages_.empty()) {
            *item = messages_.front();
            messages_.pop_front();
            return true;
        }
    }
    const Clock::time_point now = Clock::now();
    for (auto &entry : timers_) {
        if (entry.second.due <= now) {
            // Late ticks are not caught up: the next one is a full period from now.
            entry.second.due = now + std::chrono::milliseconds(entry.second.periodMs);
            item->kind = Item::Timer;
            item->window = entry.first.first;
            item->n = entry.first.second;
            item->wParam = 0;
            item->lParam = 0;
            return true;
        }
    }
    return false;
}

void waitForEvents(const MessageQueue &queue, int fd, int timeoutMs)
{
    // Without its eventfd (the process ran out of descriptors) a post cannot wake a sleeping
    // loop; polling in short steps keeps posted messages flowing instead of waiting for ever.
    constexpr int withoutWakeUpMs = 10;
    if (queue.wakeFd() < 0 && (timeoutMs < 0 || timeoutMs > withoutWakeUpMs))
        timeoutMs = withoutWakeUpMs;
    pollfd fds[2] = {{queue.wakeFd(), POLLIN, 0}, {fd, POLLIN, 0}};
    const nfds_t count = fd >= 0 ? 2 : 1;
    while (poll(fds, count, timeoutMs) < 0 && errno == EINTR) {
    }
}

} // namespace platform
