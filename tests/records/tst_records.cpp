// Strict, all-or-nothing decoding and complete, compact encoding of the wire records.
#include "records/Records.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// A profile answer as the studio sends it, with the given projects and stages.
QByteArray profileWith(const char* projects, const char* stages = R"(["Cut","Grade"])") {
    return QByteArray(R"({"name":"Ana Lund","projects":)") + projects + R"(,"stages":)" + stages + "}";
}

} // namespace

class RecordsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void profileDecodes() {
        const Result<Profile> profile = records::decode<Profile>(
            profileWith(R"([{"id":"p1","title":"Trailer","color":"red"},{"id":"p2","title":""}])") + "  ");
        QVERIFY(profile);
        QCOMPARE(*profile,
                 (Profile{QStringLiteral("Ana Lund"),
                          {{QStringLiteral("p1"), QStringLiteral("Trailer")}, {QStringLiteral("p2"), QString()}},
                          {QStringLiteral("Cut"), QStringLiteral("Grade")}}));

        const Result<Profile> empty = records::decode<Profile>(R"({"name":"","projects":[],"stages":[],"x":null})");
        QVERIFY(empty && empty->projects.isEmpty() && empty->stages.isEmpty());
    }

    void profileRefused_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("no stages") << QByteArray(R"({"name":"A","projects":[]})");
        QTest::newRow("stages null") << profileWith("[]", "null");
        QTest::newRow("stage a number") << profileWith("[]", R"(["Cut",3])");
        QTest::newRow("projects an object") << profileWith(R"({"id":"p","title":"t"})");
        QTest::newRow("project without title") << profileWith(R"([{"id":"p1","title":"A"},{"id":"p2"}])");
        QTest::newRow("project a string") << profileWith(R"(["p1"])");
        QTest::newRow("name null") << QByteArray(R"({"name":null,"projects":[],"stages":[]})");
        QTest::newRow("key in other case") << QByteArray(R"({"Name":"A","projects":[],"stages":[]})");
        QTest::newRow("top level array") << QByteArray(R"([{"name":"A","projects":[],"stages":[]}])");
        QTest::newRow("not JSON") << QByteArray("<html></html>");
        QTest::newRow("empty") << QByteArray();
    }

    void profileRefused() {
        QFETCH(QByteArray, json);
        const Result<Profile> profile = records::decode<Profile>(json);
        QVERIFY(!profile);
        QCOMPARE(profile.error().kind(), Error::Kind::Decoding);
        QVERIFY(profile.error().description().endsWith(u'.'));
    }

    // Integer fields take whole JSON numbers within 64 signed bits, and nothing else.
    void integers_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("plain") << QByteArray("1733480000") << true << qint64(1733480000);
        QTest::newRow("largest") << QByteArray("9223372036854775807") << true << std::numeric_limits<qint64>::max();
        QTest::newRow("smallest") << QByteArray("-9223372036854775808") << true << std::numeric_limits<qint64>::min();
        QTest::newRow("whole with fraction digits") << QByteArray("12.0") << true << qint64(12);
        QTest::newRow("exponent") << QByteArray("1e3") << true << qint64(1000);
        QTest::newRow("one past largest") << QByteArray("9223372036854775808") << false << qint64(0);
        QTest::newRow("far out of range") << QByteArray("1e300") << false << qint64(0);
        QTest::newRow("fraction") << QByteArray("12.5") << false << qint64(0);
        QTest::newRow("string") << QByteArray(R"("12")") << false << qint64(0);
        QTest::newRow("null") << QByteArray("null") << false << qint64(0);
        QTest::newRow("boolean") << QByteArray("true") << false << qint64(0);
    }

    void integers() {
        QFETCH(QByteArray, value);
        QFETCH(bool, ok);
        QFETCH(qint64, expected);
        const Result<WorkSession> session = records::decode<WorkSession>(R"({"id":"s1","started_at":)" + value + "}");
        QCOMPARE(session.ok(), ok);
        if (ok)
            QCOMPARE(session->started_at, expected);
    }

    // A minute report: every field written, empty lists included, and read back unchanged.
    void minuteRoundTrip() {
        const QJsonObject bare =
            QJsonDocument::fromJson(records::encode(Minute{3, 100, 130, 0, 0, 0, {}, {}})).object();
        QCOMPARE(bare, QJsonDocument::fromJson(R"({"seq":3,"started_at":100,"ended_at":130,"mouse_moves":0,"clicks":0,
                                                   "mouse_active_seconds":0,"apps":[],"screenshots":[]})")
                           .object());

        const Minute full{0,
                          1733480000,
                          1733480031,
                          52,
                          4,
                          17,
                          {{QStringLiteral("Kdenlive"), 25}, {QStringLiteral("Unknown app"), 6}},
                          {{QStringLiteral("3221225472"), 1733480000, QStringLiteral("/9j/4AA=")},
                           {QStringLiteral("17"), 1733480001, QString()}}};
        const QByteArray json = records::encode(full);
        QVERIFY(!json.contains('\n') && !json.contains(": "));
        QCOMPARE(records::decode<Minute>(json).value(), full);

        // One bad screenshot spoils the whole report.
        QByteArray damaged = json;
        damaged.replace(R"("captured_at":1733480001)", R"("captured_at":"1733480001")");
        QVERIFY(!records::decode<Minute>(damaged));
    }

    void otherRecordsRoundTrip() {
        const Profile profile{QStringLiteral("Ana"), {{QStringLiteral("p1"), QStringLiteral("Trailer · final")}}, {}};
        QCOMPARE(records::decode<Profile>(records::encode(profile)).value(), profile);
        const Paired paired{QStringLiteral("tök\"en\n")};
        QCOMPARE(records::decode<Paired>(records::encode(paired)).value(), paired);
        QCOMPARE(records::encode(WorkSession{QStringLiteral("8a1f"), 5}),
                 QByteArray(R"({"id":"8a1f","started_at":5})"));
        QCOMPARE(records::encode(Paired{}), QByteArray(R"({"token":""})"));
    }

    void pendingStops() {
        const QList<PendingStop> stops{{QStringLiteral("s1"), 1733480000}, {QStringLiteral("s2"), 1733480100}};
        const QByteArray json = records::encodePendingStops(stops);
        QCOMPARE(json, QByteArray(R"([{"endedAt":1733480000,"id":"s1"},{"endedAt":1733480100,"id":"s2"}])"));
        QCOMPARE(records::decodePendingStops(json).value(), stops);
        QCOMPARE(records::decodePendingStops("[]").value(), QList<PendingStop>());
        QCOMPARE(records::encodePendingStops({}), QByteArray("[]"));

        QVERIFY(!records::decodePendingStops(R"([{"id":"s1","endedAt":1},{"id":"s2","ended_at":2}])"));
        QVERIFY(!records::decodePendingStops(R"({"id":"s1","endedAt":1})"));
        QVERIFY(!records::decodePendingStops(R"([{"id":"s1","endedAt":1},7])"));
        QVERIFY(!records::decodePendingStops("garbage"));
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_records.moc"
