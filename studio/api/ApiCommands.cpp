#include "api/ApiCommands.h"

#include "store/ApiTokens.h"

#include <QDateTime>

namespace {

QString time(qint64 seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

int apiTokenCommand(Studio& studio, const QStringList& words, QTextStream& out, QTextStream& err) {
    auto fail = [&](const QString& text) {
        err << "vantrel-studio: " << text << Qt::endl;
        return 1;
    };
    const QString action = words.value(0);
    if (action == u"create" && words.size() == 2) {
        const Result<apitokens::Created> created = apitokens::create(studio.database(), words[1], studio.now());
        if (!created)
            return fail(created.error().message());
        out << "API token " << created->id << " (" << words[1].trimmed() << "): " << created->secret << '\n'
            << "It is shown only this once; send it as “Authorization: Bearer …”." << Qt::endl;
        return 0;
    }
    if (action == u"list" && words.size() == 1) {
        const Result<QList<apitokens::Token>> tokens = apitokens::list(studio.database());
        if (!tokens)
            return fail(tokens.error().message());
        for (const apitokens::Token& token : *tokens)
            out << token.id << '\t' << token.name << "\tmade " << time(token.createdAt) << '\t'
                << (token.lastUsedAt ? u"last used "_qs + time(*token.lastUsedAt) : u"never used"_qs)
                << (token.revokedAt ? u"\trevoked "_qs + time(*token.revokedAt) : QString()) << '\n';
        out.flush();
        return 0;
    }
    bool ok = false;
    const qint64 id = words.value(1).toLongLong(&ok);
    if (action == u"revoke" && words.size() == 2 && ok) {
        const Result<bool> revoked = apitokens::revoke(studio.database(), id, studio.now());
        if (!revoked)
            return fail(revoked.error().message());
        if (!*revoked)
            return fail(QStringLiteral("There is no API token %1; see api-token list.").arg(id));
        out << "API token " << id << " revoked." << Qt::endl;
        return 0;
    }
    return fail(QStringLiteral("Use api-token create NAME, api-token list or api-token revoke ID."));
}
