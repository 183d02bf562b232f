#include "platform/posix/message_queue.h"

#include <cstdint>

namespace platform {

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

} // namespace platform
