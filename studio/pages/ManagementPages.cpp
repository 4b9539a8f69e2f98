#include "pages/ManagementPages.h"

#include "Answers.h"
#include "pages/AdminPage.h"

#include <QDateTime>

using AdminPage::escaped;

namespace {

constexpr qint64 kMaxCodeHours = 30 * 24;

// The administrators' pages, in the order of the navigation.
struct Room {
    QByteArray path;
    QString title;
};
const QList<Room>& rooms() {
    static const QList<Room> rooms = {{"/admin/users", u"Editors"_qs},
                                      {"/admin/projects", u"Projects"_qs},
                                      {"/admin/pairing-codes", u"Pairing codes"_qs},
                                      {"/admin/devices", u"Devices"_qs},
                                      {"/admin/audit", u"Audit log"_qs}};
    return rooms;
}

QString roomTitle(const QByteArray& path) {
    for (const Room& room : rooms())
        if (room.path == path)
            return room.title;
    return {};
}

// What a page says above its content: a notice after a change, or why a change was refused.
struct Said {
    QString notice; // HTML
    QString error;  // text
    int status = 200;
};

class Renderer {
public:
    Renderer(Studio& studio, const Studio::SignIn& signIn, const QTimeZone& zone)
        : m_studio(studio)
        , m_signIn(signIn)
        , m_zone(zone) {}

    Result<QString> body(const QByteArray& path) {
        if (path == "/admin/users")
            return users();
        if (path == "/admin/projects")
            return projects();
        if (path == "/admin/pairing-codes")
            return pairingCodes();
        if (path == "/admin/devices")
            return devices();
        return auditLog();
    }

private:
    QString when(qint64 seconds) const {
        return QDateTime::fromSecsSinceEpoch(seconds, m_zone).toString(u"yyyy-MM-dd HH:mm"_qs);
    }
    // A form that posts `action` (and hidden `fields`) to `path`, with the session's token.
    QString form(const QByteArray& path, const QString& action, const QString& inner, const QString& button,
                 const QString& formClass = {}) const {
        return u"<form method=\"post\" action=\"%1\"%2>%3<input type=\"hidden\" name=\"action\" value=\"%4\">%5"
               u"<button type=\"submit\">%6</button></form>"_qs.arg(
                   QString::fromLatin1(path), formClass.isEmpty() ? QString() : u" class=\"%1\""_qs.arg(formClass),
                   ManagementPages::tokenField(m_signIn), action, inner, escaped(button));
    }
    static QString hidden(const QString& name, const QString& value) {
        return u"<input type=\"hidden\" name=\"%1\" value=\"%2\">"_qs.arg(name, escaped(value));
    }
    static QString row(const QStringList& cells) {
        return u"<tr><td>"_qs + cells.join(u"</td><td>"_qs) + u"</td></tr>\n"_qs;
    }
    static QString table(const QStringList& headings, const QString& rows, const QString& empty) {
        if (rows.isEmpty())
            return u"<p class=\"muted\">%1</p>\n"_qs.arg(empty);
        return u"<div class=\"wide\"><table><tr><th>"_qs + headings.join(u"</th><th>"_qs) + u"</th></tr>\n"_qs + rows +
               u"</table></div>\n"_qs;
    }

    Result<QString> users() {
        const Result<QList<Studio::UserRow>> users = m_studio.userRows();
        if (!users)
            return users.error();
        QString rows;
        for (const Studio::UserRow& user : *users)
            rows += row({escaped(user.name), escaped(user.email), escaped(user.projects.join(u", "_qs)),
                         QString::number(user.devices)});
        return QString(
            form("/admin/users", u"add"_qs,
                 u"<label>Name<input name=\"name\" required maxlength=\"200\"></label>"
                 u"<label>E-mail address<input type=\"email\" name=\"email\" maxlength=\"200\"></label>"_qs,
                 u"Add an editor"_qs) +
            table({u"Name"_qs, u"E-mail address"_qs, u"Open projects"_qs, u"Devices"_qs}, rows, u"No editors yet."_qs));
    }

    Result<QString> projects() {
        const Result<QList<Studio::ProjectRow>> projects = m_studio.projectRows();
        const Result<QList<Studio::Choice>> users = projects ? m_studio.users() : projects.error();
        if (!users)
            return users.error();
        QString rows;
        for (const Studio::ProjectRow& project : *projects) {
            const bool closed = project.closedAt.has_value();
            rows += row({escaped(project.title), u"<code>%1</code>"_qs.arg(escaped(project.id)),
                         escaped(project.editors.join(u", "_qs)),
                         closed ? u"closed %1"_qs.arg(when(*project.closedAt)) : u"open"_qs,
                         form("/admin/projects", closed ? u"reopen"_qs : u"close"_qs, hidden(u"project"_qs, project.id),
                              closed ? u"Reopen"_qs : u"Close"_qs, u"inline"_qs)});
        }
        QString projectOptions, userOptions;
        for (const Studio::ProjectRow& project : *projects)
            projectOptions += u"<option value=\"%1\">%2</option>"_qs.arg(escaped(project.id), escaped(project.title));
        for (const Studio::Choice& user : *users)
            userOptions += u"<option>%1</option>"_qs.arg(escaped(user.label));
        const QString membership =
            projects->isEmpty() || users->isEmpty()
                ? QString()
                : u"<form method=\"post\" action=\"/admin/projects\">%1<label>Project<select name=\"project\">%2"
                  u"</select></label><label>Editor<select name=\"user\">%3</select></label>"
                  u"<button type=\"submit\" name=\"action\" value=\"assign\">Open to the editor</button>"
                  u"<button type=\"submit\" name=\"action\" value=\"unassign\">Take from the editor</button>"
                  u"</form>\n"_qs.arg(ManagementPages::tokenField(m_signIn), projectOptions, userOptions);
        QString editors;
        for (const Studio::Choice& user : *users)
            editors +=
                u"<label class=\"check\"><input type=\"checkbox\" name=\"editor\" value=\"%1\">%1</label>"_qs.arg(
                    escaped(user.label));
        return QString(
            form("/admin/projects", u"add"_qs,
                 u"<label>Title<input name=\"title\" required maxlength=\"200\"></label>"_qs +
                     (editors.isEmpty() ? QString()
                                        : u"<fieldset><legend>Editors</legend>%1</fieldset>"_qs.arg(editors)),
                 u"Add a project"_qs) +
            u"<p class=\"muted\">A closed project is no longer offered to editors; its sessions stay.</p>\n"_qs +
            membership +
            table({u"Title"_qs, u"Id"_qs, u"Editors"_qs, u"State"_qs, QString()}, rows, u"No projects yet."_qs));
    }

    Result<QString> pairingCodes() {
        const Result<QList<Studio::CodeRow>> codes = m_studio.unusedPairingCodes();
        const Result<QList<Studio::Choice>> users = codes ? m_studio.users() : codes.error();
        if (!users)
            return users.error();
        QString options;
        for (const Studio::Choice& user : *users)
            options += u"<option>%1</option>"_qs.arg(escaped(user.label));
        QString rows;
        for (const Studio::CodeRow& code : *codes)
            rows += row({u"<code>%1</code>"_qs.arg(code.reference), escaped(code.userName), when(code.expiresAt),
                         form("/admin/pairing-codes", u"revoke"_qs, hidden(u"reference"_qs, code.reference),
                              u"Revoke"_qs, u"inline"_qs)});
        return QString(
            form("/admin/pairing-codes", u"issue"_qs,
                 u"<label>Editor<select name=\"user\" required>%1</select></label>"
                 u"<label>Valid for (hours)<input type=\"number\" name=\"hours\" value=\"24\" min=\"1\" max=\"%2\">"
                 u"</label>"_qs.arg(options)
                     .arg(kMaxCodeHours),
                 u"Create a pairing code"_qs) +
            u"<h2>Unused codes</h2>\n<p class=\"muted\">Codes are kept only as a hash: a lost code is revoked and a "
            u"new one made.</p>\n"_qs +
            table({u"Reference"_qs, u"Editor"_qs, u"Valid until"_qs, QString()}, rows, u"No unused pairing codes."_qs));
    }

    Result<QString> devices() {
        const Result<QList<Studio::DeviceRow>> devices = m_studio.devices();
        if (!devices)
            return devices.error();
        QString rows;
        for (const Studio::DeviceRow& device : *devices) {
            const bool revoked = device.revokedAt.has_value();
            rows += row({QString::number(device.id), escaped(device.userName), escaped(device.name),
                         when(device.pairedAt), when(device.lastContactAt),
                         revoked ? u"revoked %1"_qs.arg(when(*device.revokedAt))
                                 : form("/admin/devices", u"revoke"_qs,
                                        hidden(u"device"_qs, QString::number(device.id)), u"Revoke"_qs, u"inline"_qs)});
        }
        return QString(
            u"<p class=\"muted\">A revoked device is signed out of the studio: its editor pairs it again with a "
            u"new code.</p>\n"_qs +
            table({u"#"_qs, u"Editor"_qs, u"Computer"_qs, u"Paired"_qs, u"Last contact"_qs, QString()}, rows,
                  u"No devices paired yet."_qs));
    }

    Result<QString> auditLog() {
        const Result<QList<Studio::AuditRow>> entries = m_studio.auditLog();
        if (!entries)
            return entries.error();
        QString rows;
        for (const Studio::AuditRow& entry : *entries)
            rows += row({when(entry.at), escaped(entry.actor), escaped(entry.action), escaped(entry.detail)});
        return QString(
            u"<p class=\"muted\">Every change, from these pages and from the command line; the latest first.</p>\n"_qs +
            table({u"When"_qs, u"Who"_qs, u"What"_qs, u"Detail"_qs}, rows, u"No changes yet."_qs));
    }

    Studio& m_studio;
    const Studio::SignIn& m_signIn;
    QTimeZone m_zone;
};

HttpResponse render(Studio& studio, const QByteArray& path, const Studio::SignIn& signIn, const Said& said = {}) {
    const Result<QTimeZone> zone = studio.timeZone();
    if (!zone)
        return answers::refusal(zone.error());
    const Result<QString> body = Renderer(studio, signIn, *zone).body(path);
    if (!body)
        return answers::refusal(body.error());
    QString top = said.notice;
    if (!said.error.isEmpty())
        top += u"<p class=\"error\">%1</p>\n"_qs.arg(escaped(said.error));
    top += u"<p class=\"muted\">Times are the studio's (%1).</p>\n"_qs.arg(escaped(QString::fromUtf8(zone->id())));
    HttpResponse response = AdminPage::page(roomTitle(path), top + *body);
    response.status = said.status;
    return response;
}

} // namespace

namespace ManagementPages {

bool isManagement(const QByteArray& path) {
    return !roomTitle(path).isEmpty();
}

HttpResponse page(Studio& studio, const HttpRequest& request, const Studio::SignIn& signIn) {
    return render(studio, request.path, signIn);
}

HttpResponse change(Studio& studio, const HttpRequest& request, const QUrlQuery& form, const Studio::SignIn& signIn) {
    auto field = [&](const QString& name) { return form.queryItemValue(name, QUrl::FullyDecoded); };
    const QByteArray& path = request.path;
    const QString action = field(u"action"_qs);
    Result<> done = Error::api(400, QStringLiteral("This page does not know that action."));
    QString notice;
    if (path == "/admin/users" && action == u"add") {
        const Result<qint64> added = studio.addUser(field(u"name"_qs), field(u"email"_qs));
        done = added ? Result<>() : added.error();
    } else if (path == "/admin/projects" && action == u"add") {
        QStringList editors;
        for (const QString& editor : form.allQueryItemValues(u"editor"_qs, QUrl::FullyDecoded))
            editors.append(editor);
        const Result<QString> added = studio.addProject(field(u"title"_qs), editors);
        done = added ? Result<>() : added.error();
    } else if (path == "/admin/projects" && (action == u"close" || action == u"reopen")) {
        done = studio.setProjectClosed(field(u"project"_qs), action == u"close");
    } else if (path == "/admin/projects" && (action == u"assign" || action == u"unassign")) {
        done = studio.setEditor(field(u"project"_qs), field(u"user"_qs), action == u"assign");
    } else if (path == "/admin/pairing-codes" && action == u"issue") {
        bool ok = false;
        const qint64 hours = field(u"hours"_qs).toLongLong(&ok);
        const QString user = field(u"user"_qs);
        const Result<QString> code =
            !ok || hours < 1 || hours > kMaxCodeHours
                ? Result<QString>(
                      Error::api(400, QStringLiteral("A pairing code is valid for 1 to %1 hours.").arg(kMaxCodeHours)))
                : studio.issuePairingCode(user, hours * 3600);
        if (code)
            notice = u"<p class=\"notice\">The pairing code for %1 is <strong id=\"new-code\">%2</strong>, for %3 "
                     u"hours. Give it to the editor now: it is shown only this once.</p>\n"_qs
                         .arg(escaped(user), escaped(*code))
                         .arg(hours);
        done = code ? Result<>() : code.error();
    } else if (path == "/admin/pairing-codes" && action == u"revoke") {
        done = studio.revokePairingCode(field(u"reference"_qs));
    } else if (path == "/admin/devices" && action == u"revoke") {
        bool ok = false;
        const qint64 device = field(u"device"_qs).toLongLong(&ok);
        done = ok ? studio.revokeDevice(device) : Error::api(400, QStringLiteral("Which device?"));
    }
    if (!done && !done.error().isAPIError())
        return answers::refusal(done.error());
    if (!done)
        return render(studio, path, signIn, {{}, done.error().message(), int(done.error().status())});
    return notice.isEmpty() ? seeOther(path) : render(studio, path, signIn, {notice, {}, 200});
}

void fillAccount(HttpResponse& response, const std::optional<Studio::SignIn>& signIn) {
    QString html;
    if (signIn) {
        if (signIn->account.role == Studio::Role::Administrator)
            for (const Room& room : rooms())
                html += u"<a href=\"%1\">%2</a>"_qs.arg(QString::fromLatin1(room.path), room.title);
        html += u"<form method=\"post\" action=\"/admin/sign-out\" class=\"who\">%1<span>%2 · %3</span>"
                u"<button type=\"submit\">Sign out</button></form>"_qs.arg(
                    tokenField(*signIn), escaped(signIn->account.name), Studio::roleName(signIn->account.role));
    }
    response.body.replace(AdminPage::kAccountSlot, html.toUtf8());
}

HttpResponse forbidden(const QString& why) {
    HttpResponse response = AdminPage::page(QStringLiteral("Not allowed"), u"<p>%1</p>"_qs.arg(escaped(why)));
    response.status = 403;
    return response;
}

QUrlQuery fields(const QByteArray& body) {
    // Forms send blanks as "+", which QUrlQuery would keep.
    return QUrlQuery(QString::fromUtf8(QByteArray(body).replace('+', "%20")));
}

QString tokenField(const Studio::SignIn& signIn) {
    return u"<input type=\"hidden\" name=\"csrf\" value=\"%1\">"_qs.arg(QString::fromLatin1(signIn.csrf));
}

bool tokenMatches(const QUrlQuery& form, const Studio::SignIn& signIn) {
    return Studio::sameSecret(form.queryItemValue(u"csrf"_qs, QUrl::FullyDecoded).toLatin1(), signIn.csrf);
}

bool crossOrigin(const HttpRequest& request) {
    const QByteArray site = request.headers.value("sec-fetch-site");
    if (!site.isEmpty() && site != "same-origin" && site != "none")
        return true;
    const QByteArray origin = request.headers.value("origin");
    return !origin.isEmpty() && origin != "https://" + request.headers.value("host");
}

HttpResponse crossOriginRefusal() {
    return forbidden(QStringLiteral("This form was sent from another site. Open the studio's page and send it again."));
}

HttpResponse seeOther(const QByteArray& location) {
    HttpResponse response;
    response.status = 303;
    response.contentType = "text/plain; charset=utf-8";
    response.headers.emplaceBack("Location", location);
    response.headers.emplaceBack("Cache-Control", "no-store");
    return response;
}

} // namespace ManagementPages
