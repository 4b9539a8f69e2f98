#pragma once

#include <QList>
#include <QTest>

// Whether no event comes for two seconds once the second under way has passed: the activity monitors report in
// once-a-second batches, so input that has just stopped may still show in the next one.
inline bool quietFor2s(QList<int>& events) {
    QTest::qWait(2000);
    events.clear();
    QTest::qWait(2000);
    return events.isEmpty();
}
