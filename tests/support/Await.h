#pragma once

#include <QEventLoop>

#include <qcoro/qcorotask.h>

#include <optional>
#include <utility>

// Runs the event loop until `task` completes and returns its result.  Unlike QCoro::waitFor it needs no
// default-constructible result, so Result<T> works.  Tests only: application code never nests event loops.
template <typename T>
T awaitTask(QCoro::Task<T> task) {
    std::optional<T> result;
    QEventLoop loop;
    // The chained task must outlive the wait; a task that finished at once has its result already.
    auto chained = task.then([&](T value) {
        result.emplace(std::move(value));
        loop.quit();
    });
    if (!result)
        loop.exec();
    return std::move(*result);
}
