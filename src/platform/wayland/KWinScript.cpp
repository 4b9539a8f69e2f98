#include "platform/wayland/KWinScript.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

const QString kService = u"org.kde.KWin"_s;
const QString kObjectPath = u"/org/vantrel/KWinScript"_s;
// An unloaded script leaves KWin's list only when KWin next returns to its event loop; until then a load under
// the same name is refused.  A few retries bridge that.
constexpr int kLoadAttempts = 20;
constexpr int kRetryMs = 100;
constexpr int kUnloadTimeoutMs = 2000;
// How long a run script has to say it started before KWin is asked to start it another way, then given up.
constexpr int kStartWaitMs = 3000;

// A value as a JavaScript string literal.
QString jsString(const QString& value) {
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString processName(qint64 pid) {
    if (pid <= 0)
        return {};
    QFile comm(u"/proc/%1/comm"_s.arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(comm.readAll()).trimmed();
}

} // namespace

KWinScript::KWinScript(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_path(kObjectPath) {
    if (!m_bus.isConnected()) {
        fail(u"no session bus"_s);
        return;
    }
    if (!m_bus.registerObject(m_path, this, QDBusConnection::ExportScriptableSlots)) {
        fail(u"cannot serve %1 on the session bus"_s.arg(m_path));
        return;
    }
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    m_scriptFile = runtime + u"/vantrel-kwin-activity.js"_s;
    // A KWin that restarts (after a crash, or a new session) has forgotten the script.
    auto* watcher = new QDBusServiceWatcher(kService, m_bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        m_running = false;
        m_active.reset();
        ++m_generation;
        load();
    });
    load();
}

KWinScript::~KWinScript() {
    if (!m_scriptFile.isEmpty() && !m_kwin.isEmpty())
        m_bus.call(
            QDBusMessage::createMethodCall(kService, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s, u"unloadScript"_s)
                << QString::fromLatin1(kPluginName),
            QDBus::Block, kUnloadTimeoutMs);
    if (!m_scriptFile.isEmpty())
        QFile::remove(m_scriptFile);
    m_bus.unregisterObject(m_path);
}

QDBusMessage KWinScript::scripting(const QString& method, const QVariantList& arguments) const {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s, method);
    call.setArguments(arguments);
    return call;
}

QString KWinScript::scriptText() const {
    QFile source(u":/kwin/KWinActivity.js"_s);
    if (!source.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(source.readAll())
        .replace(u"@AGENT@"_s, jsString(m_bus.baseService()))
        .replace(u"@PATH@"_s, jsString(m_path))
        .replace(u"@INTERFACE@"_s, jsString(u"org.vantrel.KWinScript"_s))
        .replace(u"@COUNT_POINTER@"_s, m_countingPointer ? u"true"_s : u"false"_s)
        .replace(u"@LOAD@"_s, QString::number(m_generation));
}

void KWinScript::load() {
    m_attempts = 0;
    const QString text = scriptText();
    QSaveFile file(m_scriptFile);
    if (text.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        fail(u"cannot write the script to %1"_s.arg(m_scriptFile));
        return;
    }
    // Ours from an earlier run (a crash leaves it loaded, calling a name that is gone) or an earlier load.
    m_bus.send(scripting(u"unloadScript"_s, {QString::fromLatin1(kPluginName)}));
    const int generation = m_generation;
    const auto attempt = [this, generation](const auto& self) -> void {
        if (generation != m_generation)
            return;
        auto* watcher = new QDBusPendingCallWatcher(
            m_bus.asyncCall(scripting(u"loadScript"_s, {m_scriptFile, QString::fromLatin1(kPluginName)})), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, generation, self](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    if (generation != m_generation)
                        return;
                    const QDBusPendingReply<int> reply = *w;
                    if (reply.isError()) {
                        fail(u"KWin's scripting interface does not answer: %1"_s.arg(reply.error().message()));
                        return;
                    }
                    if (reply.value() < 0) {
                        if (++m_attempts < kLoadAttempts)
                            QTimer::singleShot(kRetryMs, this, [self] { self(self); });
                        else
                            fail(u"KWin refused to load the script"_s);
                        return;
                    }
                    loaded(reply.value(), reply.reply().service(), generation);
                });
    };
    attempt(attempt);
}

void KWinScript::loaded(int id, const QString& kwin, int generation) {
    m_kwin = kwin;
    run(QStringList{u"/Scripting/Script%1"_s.arg(id), u"/%1"_s.arg(id)}, generation);
}

void KWinScript::run(QStringList paths, int generation) {
    // Plasma 6 publishes a loaded script at /Scripting/Script<id>, Plasma 5 at /<id>.
    const QString path = paths.takeFirst();
    auto* watcher = new QDBusPendingCallWatcher(
        m_bus.asyncCall(QDBusMessage::createMethodCall(kService, path, u"org.kde.kwin.Script"_s, u"run"_s)), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, paths, generation](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (generation != m_generation)
            return;
        if (w->isError() && w->error().type() == QDBusError::UnknownObject && !paths.isEmpty()) {
            run(paths, generation);
            return;
        }
        if (w->isError()) {
            fail(u"KWin did not run the script: %1"_s.arg(w->error().message()));
            return;
        }
        // KWin 5.27 numbers a new script by how many are loaded, so after another script was unloaded the
        // path can be an older script's, whose run does nothing: the script tells when it really started.
        // If it does not, KWin's start runs every loaded script that is not running yet.
        QTimer::singleShot(kStartWaitMs, this, [this, generation] {
            if (generation != m_generation || m_startedGeneration == generation)
                return;
            m_bus.send(scripting(u"start"_s, {}));
            QTimer::singleShot(kStartWaitMs, this, [this, generation] {
                if (generation == m_generation && m_startedGeneration != generation)
                    fail(u"KWin did not start the script"_s);
            });
        });
    });
}

void KWinScript::fail(const QString& reason) {
    m_running = false;
    if (reason == m_failure)
        return;
    m_failure = reason;
    qWarning("Vantrel: no application names or pointer moves from KWin: %s", qPrintable(reason));
}

void KWinScript::setCountingPointer(bool on) {
    if (on == m_countingPointer)
        return;
    m_countingPointer = on;
    if (m_scriptFile.isEmpty())
        return; // never got as far as loading
    ++m_generation;
    load();
}

bool KWinScript::fromKWin() {
    if (!calledFromDBus())
        return false;
    if (message().service() == m_kwin && !m_kwin.isEmpty())
        return true;
    sendErrorReply(QDBusError::AccessDenied, u"only KWin may call this"_s);
    return false;
}

void KWinScript::windowActivated(const QString& desktopFile, const QString& resourceClass, const QString& pid) {
    if (!fromKWin())
        return;
    if (desktopFile.isEmpty() && resourceClass.isEmpty() && pid.toLongLong() <= 0)
        m_active.reset();
    else
        m_active = Window{desktopFile.trimmed(), resourceClass.trimmed(), processName(pid.toLongLong())};
}

void KWinScript::started(const QString& load) {
    if (!fromKWin() || load.toInt() != m_generation)
        return;
    m_startedGeneration = m_generation;
    m_running = true;
    m_runningCounts = m_countingPointer;
    m_failure.clear();
}

void KWinScript::pointerMoved(const QString& moves) {
    if (!fromKWin() || !m_countingPointer)
        return;
    if (const qint64 count = moves.toLongLong(); count > 0 && onPointerMoved)
        onPointerMoved(count);
}
