#pragma once

#include "records/Error.h"

#include <QEventLoop>
#include <QTimer>
#include <QtGlobal>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>
#include <utility>

// Runs the event loop until `task` completes and returns its result.  Unlike QCoro::waitFor it needs no
// default-constructible result, so Result<T> works.  A task still running after `limit` ends the test
// process with a message: a hang becomes a failure.  Tests only: application code never nests event loops.
template <typename T> T awaitTask(QCoro::Task<T> task, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    std::optional<T> result;
    QEventLoop loop;
    // The chained task must outlive the wait; a task that finished at once has its result already.
    auto chained = task.then([&](T value) {
        result.emplace(std::move(value));
        loop.quit();
    });
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    if (!result)
        loop.exec();
    if (!result)
        qFatal("awaitTask: the task did not finish in time");
    return std::move(*result);
}

// The task's value, or an empty one with the error in the log.
template <typename T> T valueOf(QCoro::Task<Result<T>> task) {
    Result<T> result = awaitTask(std::move(task));
    if (!result)
        qWarning("%s", qPrintable(result.error().description()));
    return result ? std::move(*result) : T();
}
