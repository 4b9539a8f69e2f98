#pragma once

#include "records/Records.h"
#include "store/Database.h"
#include "store/SessionDetails.h"

#include <QDir>
#include <QList>
#include <QString>
#include <QTimeZone>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

// The studio's data: users, projects, paired devices and their work sessions, kept in one SQLite file or in a
// PostgreSQL database shared by several studio processes, with the screenshots as JPEG files in a folder (for
// several processes, a shared volume).  Refusals are Error::api values carrying the HTTP status to answer with.
class Studio final {
public:
    using Clock = std::function<qint64()>; // seconds since 1970-01-01 UTC

    struct Device {
        qint64 id = 0;
        qint64 userId = 0;
    };
    struct DeviceRow {
        qint64 id = 0;
        QString userName;
        QString name;
        qint64 pairedAt = 0;
        std::optional<qint64> revokedAt;
        qint64 lastContactAt = 0; // its latest clock-in or report, else its pairing
    };
    struct SessionRow : sessiondetails::Facts {
        qint64 lastSeenAt = 0;
        qint64 reports = 0;
        qint64 firstSeq = -1;
        qint64 lastSeq = -1;
        bool contiguous = true; // seq without gaps and each report starting where the previous ended
        qint64 mouseMoves = 0;
        qint64 clicks = 0;
        qint64 mouseActiveSeconds = 0;
        QList<AppSeconds> apps; // summed over the reports, most seconds first
        QList<qint64> screenshotIds;
    };
    enum class Stored { New, Duplicate };

    // Where the studio keeps its data: the folder of an SQLite studio, or a PostgreSQL connection (URI or libpq
    // keywords); screenshots go to `screenshots`, by default the folder's screenshots/.
    struct Location {
        QString data;
        QString database;
        QString screenshots;
    };

    static constexpr qint64 kDefaultCodeSeconds = 24 * 3600;
    // A lost pairing answer is re-sent within this time; a repeat from the same computer is answered again.
    static constexpr qint64 kPairingRepeatSeconds = 120;
    static constexpr qint64 kDefaultDeviceQuotaBytes = qint64(20) << 30;
    static constexpr int kMaxShots = 8;
    static constexpr int kMaxShotBase64 = 266668;

    // Opens (and with `create`, makes) the studio; the schema is brought up to date either way.
    static Result<std::unique_ptr<Studio>> open(const Location& location, bool create, Clock clock = {});
    static Result<std::unique_ptr<Studio>> open(const QString& dir, bool create, Clock clock = {}) {
        return open(Location{dir, {}, {}}, create, std::move(clock));
    }
    Q_DISABLE_COPY_MOVE(Studio)
    ~Studio();

    Database& database() { return *m_database; }
    qint64 now() const { return m_clock(); }
    QString screenshotPath(const QString& file) const;
    // Screenshot bytes one device may keep on the studio; a report that would pass it is refused.
    void setDeviceQuota(qint64 bytes) { m_deviceQuota = bytes; }

    // Administration.
    // Users are named in commands by their e-mail address or their name.
    Result<qint64> addUser(const QString& name, const QString& email = {});
    Result<QString> addProject(const QString& title, const QStringList& users);
    Result<QString> issuePairingCode(const QString& user, qint64 validSeconds = kDefaultCodeSeconds);
    // Settings kept in the database (the demo's host name for tunnels, for one).
    Result<> setSetting(const QString& key, const QString& value);
    Result<QString> setting(const QString& key); // empty when not set
    // The studio's local days (timesheets, dates on its pages): its time-zone setting, else the system's zone.
    Result<QTimeZone> timeZone();
    Result<> setTimeZone(const QString& ianaId);
    // The stages an editor picks from when clocking in.
    static const QStringList& stages();
    // Users and projects by id and name, for the pages' filters.
    struct Choice {
        QString id;
        QString label;
    };
    Result<QList<Choice>> users();
    Result<QList<Choice>> projects();
    Result<> revokeDevice(qint64 deviceId);
    Result<QList<DeviceRow>> devices();
    Result<QList<SessionRow>> sessions(int limit = 500);
    Result<QString> screenshotFile(qint64 screenshotId);
    // Screenshot files that no report points at, left by a process that ended between writing them and committing
    // their rows: removed once older than kOrphanAgeSeconds (a younger one may be another process's report that is
    // being stored right now).  Returns how many.
    Result<qint64> removeOrphanedScreenshots();
    static constexpr qint64 kOrphanAgeSeconds = 600;

    // Managers' accounts, their sign-ins and the audit log (store/Accounts.cpp).  Passwords are made here, printed
    // once and kept only as a salted, slow hash.
    enum class Role { Administrator, Viewer };
    struct Account {
        qint64 id = 0;
        QString name;
        Role role = Role::Viewer;
    };
    static QString roleName(Role role);
    static std::optional<Role> roleNamed(const QString& name);
    Result<QString> addAccount(const QString& name, Role role); // returns the password
    // A new password for the account, which signs its browsers out; returns the password.
    Result<QString> resetPassword(const QString& name);
    // Refused for the last administrator, so that the studio always has one.
    Result<> removeAccount(const QString& name);
    Result<QList<Account>> accounts();
    // A new password for the administrator "admin", made again if it was removed: the way back into a studio whose
    // administrators have all lost their passwords.
    Result<QString> resetAdminPassword();
    // An account's salt and hash, and the key derivation that checks a password against them: pure and slow, so
    // that the server can run it away from the threads that answer agents.  An unknown name gets a secret that no
    // password matches, at the same cost.
    struct Secret {
        Account account;
        QByteArray salt;
        QByteArray hash;
    };
    Result<Secret> secret(const QString& accountName);
    static bool passwordMatches(const QString& password, const Secret& secret);
    // Compared in a time that does not tell how much of a guess was right.
    static bool sameSecret(const QByteArray& a, const QByteArray& b);
    // A signed-in browser: its cookie (stored only as SHA-256) and the token its forms carry.
    struct SignIn {
        Account account;
        QByteArray cookie;
        QByteArray csrf;
        qint64 expiresAt = 0;
    };
    static constexpr qint64 kSignInSeconds = 12 * 3600;
    Result<SignIn> signIn(const Account& account);
    Result<std::optional<SignIn>> signedIn(const QByteArray& cookie); // none when unknown or expired
    Result<> signOut(const QByteArray& cookie);
    // Who the changes are recorded as in the audit log: the command line's user unless a page acts for a manager.
    void setActor(const QString& actor) { m_actor = actor; }
    class Acting final {
    public:
        Acting(Studio& studio, const QString& actor)
            : m_studio(studio)
            , m_previous(std::exchange(studio.m_actor, actor)) {}
        Q_DISABLE_COPY_MOVE(Acting)
        ~Acting() { m_studio.m_actor = m_previous; }

    private:
        Studio& m_studio;
        QString m_previous;
    };
    struct AuditRow {
        qint64 at = 0;
        QString actor;
        QString action;
        QString detail;
    };
    Result<QList<AuditRow>> auditLog(int limit = 1000); // newest first

    // Management of editors, projects, pairing codes and devices (store/Management.cpp), for the command line and
    // the pages alike.
    struct UserRow {
        qint64 id = 0;
        QString name;
        QString email;
        QStringList projects;
        qint64 devices = 0; // not revoked
    };
    Result<QList<UserRow>> userRows();
    struct ProjectRow {
        QString id;
        QString title;
        QStringList editors;
        std::optional<qint64> closedAt;
    };
    Result<QList<ProjectRow>> projectRows();
    // A closed project is no longer offered to editors, nor can they clock in to it; its sessions stay.  PROJECT is
    // its id or its title.
    Result<> setProjectClosed(const QString& project, bool closed);
    // Opens the project to an editor, or takes it away (their sessions on it stay).
    Result<> setEditor(const QString& project, const QString& user, bool member);
    struct CodeRow {
        QString reference; // the start of the code's hash: codes themselves are not kept
        QString userName;
        qint64 expiresAt = 0;
    };
    Result<QList<CodeRow>> unusedPairingCodes(); // neither used nor expired
    Result<> revokePairingCode(const QString& reference);

    // The device endpoints.
    Result<Paired> pair(const QString& code, const QString& name);
    Result<Device> authenticate(const QByteArray& token);
    Result<Profile> profile(const Device& device);
    Result<WorkSession> openSession(const Device& device, const QString& id, const QString& projectId,
                                    const QString& stage, const QString& note);
    // A report is stored in three steps, so that the server can write and sync its screenshots away from the thread
    // that answers requests: checked against the store (no value: already stored), its images written and synced
    // (no database: on any thread), its rows committed.
    struct PendingMinute {
        QList<QByteArray> images;
        qint64 bytes = 0;
    };
    Result<std::optional<PendingMinute>> checkMinute(const Device& device, const QString& sessionId,
                                                     const Minute& minute);
    // `root` is screenshotPath({}); returns the files' names for commitMinute().
    static Result<QStringList> writeScreenshots(const QString& root, const QString& sessionId, qint64 seq,
                                                const QList<QByteArray>& images);
    Result<Stored> commitMinute(const Device& device, const QString& sessionId, const Minute& minute,
                                const QStringList& written, qint64 bytes);
    // A report as it is stored: counts beyond what a mouse can produce held at that ceiling, application names
    // beyond the stored length cut, the applications beyond the stored number dropped (the shortest first).
    static Minute bounded(Minute minute);
    Result<> stopSession(const Device& device, const QString& sessionId, qint64 endedAt);
    // Ends the open sessions that have not been heard of for `idleSeconds`; returns how many.
    qint64 expireSessions(qint64 idleSeconds);

    static QString hashOf(const QByteArray& secret);
    static QString normalisedCode(const QString& code);

private:
    Studio(QDir screenshots, std::unique_ptr<Database> database, Clock clock);
    // Makes the missing folders of `path` readable by the owner only, whatever the umask.
    static bool makePrivatePath(const QString& path);
    Result<Paired> pairAgain(const QString& codeHash, const QString& name, const QByteArray& token);
    Result<qint64> userId(const QString& user);
    Result<> countStoredBytes();
    Result<QString> ownedSession(const Device& device, const QString& sessionId, qint64* startedAt);
    Result<QList<AppSeconds>> sessionApps(const QString& sessionId);

    static constexpr int kCodeReferenceLength = 8;
    static QByteArray randomBytes(int count);
    static QString randomText(int length); // from an alphabet without look-alikes (0/O, 1/I)
    // A row of the audit log for a change being made, in the change's transaction.
    Result<> audit(const QString& action, const QString& detail);
    Result<QString> projectId(const QString& project);

    QDir m_screenshots;
    std::unique_ptr<Database> m_database;
    qint64 m_deviceQuota = kDefaultDeviceQuotaBytes;
    Clock m_clock;
    QString m_actor = QStringLiteral("command line");
};
