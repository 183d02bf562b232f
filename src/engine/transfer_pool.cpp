#include "engine/transfer_pool.h"

#include "engine/http_transfer.h"
#include "platform/process.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

enum class Outcome { Pending, Succeeded, Failed };

// How often a worker with nothing to start looks again for something to help with, besides
// whenever a task ends.
constexpr auto HelperPollInterval = std::chrono::milliseconds(20);

} // namespace

TransferPool::TransferPool(int workers) : m_workers(std::max(1, workers)) {}

bool TransferPool::run(int count, const Task &task, const Listener &listener,
                       const std::vector<int> &startOrder, const std::vector<bool> &localTasks,
                       TransferConnection *warm)
{
    if (count <= 0)
        return true;
    const bool ordered = startOrder.size() == size_t(count);
    const bool anyLocal = localTasks.size() == size_t(count)
        && std::find(localTasks.begin(), localTasks.end(), true) != localTasks.end();
    // The tasks in start order: those for the workers' connections, then the local ones.
    std::vector<int> queue;
    queue.reserve(size_t(count));
    for (const bool local : {false, true}) {
        for (int position = 0; position < count; ++position) {
            const int index = ordered ? startOrder[size_t(position)] : position;
            if ((anyLocal && localTasks[size_t(index)]) == local)
                queue.push_back(index);
        }
    }
    const size_t firstLocal =
        anyLocal ? size_t(std::count(localTasks.begin(), localTasks.end(), false)) : queue.size();

    // Declared before the threads: every connection on it is gone before it goes.
    CurlShare share;
    std::mutex mutex;
    std::condition_variable ended;
    std::vector<Outcome> outcomes(size_t(count), Outcome::Pending); // under mutex
    size_t nextTransfer = 0;                                        // under mutex
    size_t nextLocal = firstLocal;                                  // under mutex
    int running = 0;                                                // tasks taken, not ended; under mutex
    std::vector<bool> taken(size_t(count), false);                  // under mutex
    bool anyFailed = false;                                         // under mutex
    std::atomic<bool> cancel{false};

    // The next task for a worker: the transfers first, then the local ones; for the lane, the
    // local ones only.
    const auto take = [&](bool lane, int *index) {
        std::lock_guard<std::mutex> lock(mutex);
        // Once a task has failed the run fails: the caller waits only for the first in index
        // order, but nothing new is worth starting.
        if (cancel || anyFailed)
            return false;
        if (!lane && nextTransfer < firstLocal) {
            *index = queue[nextTransfer++];
        } else if (nextLocal < queue.size()) {
            *index = queue[nextLocal++];
        } else {
            return false;
        }
        taken[size_t(*index)] = true;
        ++running;
        return true;
    };
    // Until no task runs any more (nor can start: the queue is empty once this is called).
    const auto help = [&](TransferConnection &connection) {
        const auto over = [&] { return cancel || anyFailed || running == 0; };
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (over())
                    return;
            }
            if (!connection.lastEndedCleanly())
                return;
            if (m_helper(connection, cancel))
                continue;
            std::unique_lock<std::mutex> lock(mutex);
            ended.wait_for(lock, HelperPollInterval, over);
        }
    };
    const auto work = [&](bool lane, TransferConnection *given) {
        TransferConnection own(&share);
        TransferConnection &connection = given ? *given : own;
        int index;
        while (take(lane, &index)) {
            const bool succeeded = task(index, connection, cancel);
            {
                std::lock_guard<std::mutex> lock(mutex);
                outcomes[size_t(index)] = succeeded ? Outcome::Succeeded : Outcome::Failed;
                anyFailed = anyFailed || !succeeded;
                --running;
            }
            ended.notify_all();
        }
        if (!lane && m_helper)
            help(connection);
    };

    std::vector<std::unique_ptr<platform::JoinedThread>> threads;
    int started = 0;
    for (int i = 0; i < std::min(m_workers, count); ++i) {
        threads.push_back(std::make_unique<platform::JoinedThread>());
        TransferConnection *given = started == 0 ? warm : nullptr;
        if (threads.back()->start([&work, given] { work(false, given); }))
            ++started;
    }
    // Only beside workers, which take what it leaves.
    if (anyLocal && started > 0) {
        threads.push_back(std::make_unique<platform::JoinedThread>());
        threads.back()->start([&work] { work(true, nullptr); });
    }
    if (started == 0) {
        // No thread to be had: one after another, here, as the program did before it had any.
        TransferConnection own(&share);
        TransferConnection &connection = warm ? *warm : own;
        for (int index = 0; index < count; ++index) {
            listener.announce(index);
            if (!task(index, connection, cancel)) {
                listener.failed(index);
                return false;
            }
        }
        return true;
    }

    bool succeeded = true;
    // A task that no worker took before another failed never starts: it is passed over, and the
    // one that failed is told when its turn comes. (Started in another order than their indices,
    // such a task may come before the failed one.)
    const auto passedOver = [&](int index) { return anyFailed && !taken[size_t(index)]; };
    for (int index = 0; index < count && succeeded; ++index) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (passedOver(index))
                continue;
        }
        listener.announce(index);
        std::unique_lock<std::mutex> lock(mutex);
        ended.wait(lock, [&] { return outcomes[size_t(index)] != Outcome::Pending || passedOver(index); });
        if (outcomes[size_t(index)] == Outcome::Pending)
            continue;
        succeeded = outcomes[size_t(index)] == Outcome::Succeeded;
        lock.unlock();
        if (!succeeded)
            listener.failed(index);
    }
    cancel = true;
    for (auto &thread : threads)
        thread->join();
    return succeeded;
}

MirrorRanking::MirrorRanking(const QString &firstBase, const QString &secondBase)
    : m_spread(firstBase != secondBase)
{
}

int MirrorRanking::first(int index) const
{
    const int firstFailures = m_failures[0];
    const int secondFailures = m_failures[1];
    if (firstFailures != secondFailures)
        return firstFailures < secondFailures ? 0 : 1;
    return m_spread ? index & 1 : 0;
}
