#pragma once

#include <QString>

// Where the steps of a task announce themselves and their failures.
// stage: 1 catalogue and manifest, 2 package downloads, 3 commit.
// code: 0 announces a step; -1 and -2 are failures the user must see.
// Called on the thread that runs the task; an implementation that touches a window must post.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void report(int stage, int code, const QString &version, const QString &package,
                        const QString &text) = 0;
};

// The sink of a task that shows nothing (update and uninstall).
class NullStatusSink final : public StatusSink {
public:
    void report(int, int, const QString &, const QString &, const QString &) override {}
};
