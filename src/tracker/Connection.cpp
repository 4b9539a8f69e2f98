#include "tracker/Tracker.h"

#include "service/CredentialStore.h"
#include "tracker/Texts.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

QCoro::Task<> Tracker::restoreConnection()
{
    if (m_restoredConnection)
        co_return;
    m_restoredConnection = true;
    Result<std::shared_ptr<API>> client = API::create(m_server, m_platform.secrets, m_transport);
    if (!client)
        co_return;
    // A keyring that cannot be read may hold the token: reconnecting then shows why it cannot go on.  Not
    // on a computer that never connected, nor where no keyring runs at all: that is said as it is.
    const Result<std::optional<QString>> token = (*client)->credential().token();
    if (token && !*token)
        co_return;
    if (!token && token.error().description() == CredentialStore::kNoSecretService) {
        setStatus(token.error().description());
        co_return;
    }
    if (!token && !m_platform.defaults->string(texts::kServerKey))
        co_return;
    setSavedPairing(true);
    setStatus(texts::kReconnecting);
    co_await connect(*client);
}

QCoro::Task<> Tracker::connect(std::shared_ptr<API> client)
{
    if (m_active || m_busy)
        co_return;
    setBusy(true);
    const Result<> outcome = co_await connectSteps(std::move(client));
    if (!outcome) {
        // Only a refused token sends the user back to pairing; everything done before the failure stays.
        const Error& error = outcome.error();
        if (error.isAPIError() && error.status() == 401) {
            setSavedPairing(false);
            setProfile(std::nullopt);
        }
        setStatus(error.description());
    }
    setBusy(false);
}

QCoro::Task<Result<>> Tracker::connectSteps(std::shared_ptr<API> client)
{
    if (!client) {
        Result<std::shared_ptr<API>> made = API::create(m_server, m_platform.secrets, m_transport);
        if (!made)
            co_return made.error();
        client = *made;
    }

    // The token a locked keyring refused earlier in this session: saved now if it can be, else used as is.
    if (m_unsavedToken && m_unsavedToken->first == client->server()) {
        if (client->credential().store(m_unsavedToken->second))
            m_unsavedToken.reset();
        else
            client->credential().keep(m_unsavedToken->second);
    }

    const QString code = m_pairingCode.trimmed();
    if (!code.isEmpty()) {
        // A new pairing may replace the token that a queued clock-out still needs.
        if (!pending().isEmpty())
            co_return Error::api(0, texts::kPendingBlocksPairing);
        // Without any keyring the new token could not outlive this session: the one-time code is kept.
        if (const Result<std::optional<QString>> stored = client->credential().token();
            !stored && stored.error().description() == CredentialStore::kNoSecretService)
            co_return stored.error();
        QString name = m_platform.host ? m_platform.host->computerName() : QString();
        if (name.isEmpty())
            name = texts::kUnnamedComputer;
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("name"), name}})
                                    .toJson(QJsonDocument::Compact);
        const Result<QByteArray> answer = co_await client->request(QStringLiteral("/device/pair"), body, false);
        if (!answer)
            co_return answer.error();
        const Result<Paired> paired = records::decode<Paired>(*answer);
        if (!paired)
            co_return paired.error();
        // The code is spent: a keyring that refuses the token (locked) must not lose it.  It serves this
        // session and is saved once the keyring takes it.
        if (client->credential().store(paired->token)) {
            m_unsavedToken.reset();
        } else {
            client->credential().keep(paired->token);
            m_unsavedToken = std::pair(client->server(), paired->token);
        }
        setPairingCode(QString());
    }

    const std::optional<QString> storedServer = m_platform.defaults->string(texts::kServerKey);
    if (!pending().isEmpty() && storedServer && *storedServer != client->server())
        co_return Error::api(0, texts::kPendingOnOtherServer);

    m_api = client;
    setServer(client->server());
    m_platform.defaults->setString(texts::kServerKey, client->server());

    if (Result<> flushed = co_await flushStops(); !flushed)
        co_return flushed.error();

    const Result<QByteArray> answer = co_await client->request(QStringLiteral("/device/me"), std::nullopt, true);
    if (!answer)
        co_return answer.error();
    Result<Profile> profile = records::decode<Profile>(*answer);
    if (!profile)
        co_return profile.error();
    const QList<Project> projects = profile->projects;
    const bool keepChoice = std::any_of(projects.cbegin(), projects.cend(),
                                        [this](const Project& project) { return project.id == m_projectID; });
    setProfile(std::move(*profile));
    if (!keepChoice)
        setProjectID(projects.isEmpty() ? QString() : projects.first().id);
    setSavedPairing(true);
    setStatus(m_unsavedToken ? texts::kConnectedUnsaved : texts::kConnected);
    co_return Result<>{};
}

QCoro::Task<> Tracker::preparePairing()
{
    if (m_active || m_busy)
        co_return;
    const Result<> flushed = co_await flushStops();
    // Nothing holds the user back during the delivery: a clock-in or connection begun meanwhile owns the
    // profile, the pairing and the status line from then on.
    if (m_active || m_busy)
        co_return;
    if (!flushed) {
        setStatus(flushed.error().description());
        co_return;
    }
    setProfile(std::nullopt);
    setSavedPairing(false);
    setStatus(texts::kNewPairing);
}
