#include "tracker/RunHandle.h"

#include <qcoro/qcorosignal.h>

#include <memory>

void RunHandle::markEnded()
{
    if (m_ended)
        return;
    m_ended = true;
    Q_EMIT ended();
}

QCoro::Task<> RunHandle::waitUntilEnded()
{
    if (m_ended)
        co_return;
    co_await qCoro(this, &RunHandle::ended);
}
