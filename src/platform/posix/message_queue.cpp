#include "platform/posix/message_queue.h"

#include <cstdint>

namespace platform {

void MessageQueue::addWindow(WindowId window)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_windows.insert(window);
}

bool MessageQueue::post(WindowId window, int n, std::uintptr_t wParam, std::intptr_t lParam)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_windows.count(window))
            return false;
        Item item;
        item.kind = Item::Message;
        item.window = window;
        item.n = n;
        item.wParam = wParam;
        item.lParam = lParam;
        m_messages.push_back(item);
    }
    m_wake.signal();
    return true;
}

void MessageQueue::postQuit(int code)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // The first quit decides the code; later ones only repeat the request.
        if (!m_quit)
            m_quitCode = code;
        m_quit = true;
    }
    m_wake.signal();
}

bool MessageQueue::quitPending(int *code) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_quit && code)
        *code = m_quitCode;
    return m_quit;
}

void MessageQueue::forgetWindow(WindowId window)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_windows.erase(window);
    for (auto it = m_messages.begin(); it != m_messages.end();)
        it = it->window == window ? m_messages.erase(it) : it + 1;
    for (auto it = m_timers.begin(); it != m_timers.end();)
        it = it->first.first == window ? m_timers.erase(it) : std::next(it);
}

void MessageQueue::clearQuit()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = false;
    m_quitCode = 0;
}

void MessageQueue::setTimer(WindowId window, int id, int periodMs)
{
    Timer timer;
    timer.periodMs = periodMs > 0 ? periodMs : 1;
    timer.due = Clock::now() + std::chrono::milliseconds(timer.periodMs);
    m_timers[{window, id}] = timer;
}

void MessageQueue::killTimer(WindowId window, int id)
{
    m_timers.erase({window, id});
}

int MessageQueue::msUntilNextTimer() const
{
    if (m_timers.empty())
        return -1;
    Clock::time_point next = Clock::time_point::max();
    for (const auto &entry : m_timers)
        next = std::min(next, entry.second.due);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return wait <= 0 ? 0 : static_cast<int>(wait) + 1;
}

bool MessageQueue::takeNext(Item *item)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_messages.empty()) {
            *item = m_messages.front();
            m_messages.pop_front();
            return true;
        }
    }
    const Clock::time_point now = Clock::now();
    for (auto &entry : m_timers) {
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
