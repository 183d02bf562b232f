#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <vector>

class TransferConnection;

// Runs the transfers of one job a few at a time, each thread over a connection of its own that
// stays alive from one transfer to the next (DNS and TLS sessions shared between them). The
// transfers start in the order the caller gives (by default index order); the caller hears
// about them in index order, on its own thread, whatever order they end in.
class TransferPool {
public:
    // workers: transfers at once, at least 1.
    explicit TransferPool(int workers);

    // task(index, connection, cancel): one transfer (or several, one after another) over
    // connection; true on success; it should end soon once cancel is true. Runs on a pool
    // thread, or on the caller's when the system gives no thread.
    using Task =
        std::function<bool(int index, TransferConnection &connection, const std::atomic<bool> &cancel)>;

    // helper(connection, cancel): what a worker whose tasks have all been started does with its
    // connection while others still run: true when it did something (it is asked again at once),
    // false when nothing was worth doing (it is asked again when a task ends, or shortly). Only
    // workers whose connection's last transfer ended cleanly are asked: a new connection would
    // start cold. Its outcome is no task's; what it does for a task, that task has to await.
    using Helper = std::function<bool(TransferConnection &connection, const std::atomic<bool> &cancel)>;
    void setHelper(Helper helper) { m_helper = std::move(helper); }

    // What the caller hears, on its own thread, in index order.
    struct Listener {
        std::function<void(int)> announce; // before the task's outcome is awaited
        std::function<void(int)> failed;   // the first task that failed
    };

    // Runs task for 0 .. count - 1, at most workers at once, started in startOrder (a
    // permutation of them; empty: index order), telling listener in index order. After the
    // first task in index order that failed: false at once, the tasks still running cancelled
    // and waited for, those not started left so, nothing after it announced. No task starts
    // once any has failed. True when every task succeeded (also for count 0).
    // localTasks (empty, or one flag per task): the tasks that most likely need no transfer, a
    // file at hand being checked instead. One more thread takes them, in start order, so that
    // they do not hold the places of the transfers; the workers take them too once no other
    // task waits. That thread takes nothing else: its connection would start cold.
    // warm (may be null; not owned, used by nothing else meanwhile): a connection that has just
    // served the job's small files (its manifest). The first worker goes on over it: it starts
    // without a connection round trip, and past the first round trips of its slow start.
    bool run(int count, const Task &task, const Listener &listener, const std::vector<int> &startOrder = {},
             const std::vector<bool> &localTasks = {}, TransferConnection *warm = nullptr);

private:
    int m_workers;
    Helper m_helper;
};

// Which of two mirrors a transfer tries first. Where the mirrors are two servers, transfers
// alternate between them so that both lines work; a mirror that failed or stalled more often
// than the other goes second for every later transfer. Safe to use from any thread.
class MirrorRanking {
public:
    // firstBase, secondBase: the two mirrors' base URLs (equal: one server, nothing to spread).
    MirrorRanking(const QString &firstBase, const QString &secondBase);

    // The mirror (0 or 1) to try first for the index-th transfer; the other is second.
    int first(int index) const;
    void failed(int mirror) { ++m_failures[mirror & 1]; }

private:
    bool m_spread;
    std::atomic<int> m_failures[2] = {{0}, {0}};
};
