// Strict, all-or-nothing decoding and complete, compact encoding of the wire records.
#include "records/Records.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// A profile answer as the studio sends it, with the given projects and stages.
QByteArray profileWith(const char* projects, const char* stages = R"(["Cut","Grade"])") {
    return QByteArray(R"({"name":"Ana Lund","projects":)") + projects + R"(,"stages":)" + stages + "}";
}

} // namespace

class RecordsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Unknown keys, even null ones, are ignored; an empty title is still a title.
    void profileDecodes() {
        const QByteArray json = profileWith(R"([{"id":"p1","title":"Trailer","color":"red"},{"id":"p2","title":""}])");
        QCOMPARE(records::decode<Profile>(json + "  ").value(),
                 (Profile{u"Ana Lund"_s, {{u"p1"_s, u"Trailer"_s}, {u"p2"_s, QString()}}, {u"Cut"_s, u"Grade"_s}}));
        QCOMPARE(records::decode<Profile>(R"({"name":"","projects":[],"stages":[],"x":null})").value(), Profile{});
    }

    void profileRefused_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("no stages") << QByteArray(R"({"name":"A","projects":[]})");
        QTest::newRow("name null") << QByteArray(R"({"name":null,"projects":[],"stages":[]})");
        QTest::newRow("stage a number") << profileWith("[]", R"(["Cut",3])");
        QTest::newRow("projects an object") << profileWith(R"({"id":"p","title":"t"})");
        QTest::newRow("one project without title") << profileWith(R"([{"id":"p1","title":"A"},{"id":"p2"}])");
        QTest::newRow("not JSON") << QByteArray("<html></html>");
    }

    void profileRefused() {
        QFETCH(QByteArray, json);
        const Result<Profile> profile = records::decode<Profile>(json);
        QVERIFY(!profile);
        QCOMPARE(profile.error().kind(), Error::Kind::Decoding);
        QVERIFY(profile.error().description().endsWith(u'.'));
    }

    // Integer fields take whole JSON numbers within 64 signed bits, and nothing else (read back: empty).
    void integers_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("read");
        QTest::newRow("largest") << QByteArray("9223372036854775807") << QByteArray("9223372036854775807");
        QTest::newRow("smallest") << QByteArray("-9223372036854775808") << QByteArray("-9223372036854775808");
        QTest::newRow("whole with fraction digits") << QByteArray("12.0") << QByteArray("12");
        QTest::newRow("exponent") << QByteArray("1e3") << QByteArray("1000");
        QTest::newRow("one past largest") << QByteArray("9223372036854775808") << QByteArray();
        QTest::newRow("far out of range") << QByteArray("1e300") << QByteArray();
        QTest::newRow("fraction") << QByteArray("12.5") << QByteArray();
        QTest::newRow("string") << QByteArray(R"("12")") << QByteArray();
    }

    void integers() {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, read);
        const Result<WorkSession> session = records::decode<WorkSession>(R"({"id":"s1","started_at":)" + value + "}");
        QCOMPARE(session ? QByteArray::number(session->started_at) : QByteArray(), read);
    }

    // Each field under its own key, every field written (empty lists too), compact, and read back unchanged.
    void encoding() {
        QCOMPARE(records::encode(Minute{3, 100, 130, 0, 0, 0, {}, {}}),
                 QByteArray(R"({"apps":[],"clicks":0,"ended_at":130,"mouse_active_seconds":0,"mouse_moves":0,)"
                            R"("screenshots":[],"seq":3,"started_at":100})"));
        Minute full{7, 100, 160, 52, 4, 17, {}, {}};
        full.apps = {{u"Kdenlive"_s, 25}, {u"Unknown app"_s, 6}};
        full.screenshots = {{u"3221225472"_s, 100, u"/9j/4AA="_s}, {u"17"_s, 101, QString()}};
        const QByteArray json(R"({"apps":[{"name":"Kdenlive","seconds":25},{"name":"Unknown app","seconds":6}],)"
                              R"("clicks":4,"ended_at":160,"mouse_active_seconds":17,"mouse_moves":52,"screenshots":[)"
                              R"({"captured_at":100,"display_id":"3221225472","jpeg":"/9j/4AA="},)"
                              R"({"captured_at":101,"display_id":"17","jpeg":""}],"seq":7,"started_at":100})");
        QCOMPARE(records::encode(full), json);
        QCOMPARE(records::decode<Minute>(json).value(), full);
        // One bad screenshot spoils the whole report.
        QVERIFY(!records::decode<Minute>(QByteArray(json).replace(R"("captured_at":101)", R"("captured_at":"101")")));

        const Profile profile{u"Ana"_s, {{u"p1"_s, u"Trailer · final"_s}}, {}};
        QCOMPARE(records::decode<Profile>(records::encode(profile)).value(), profile);
        QCOMPARE(records::encode(Paired{}), QByteArray(R"({"token":""})"));
        QCOMPARE(records::encode(WorkSession{u"8a1f"_s, 5}), QByteArray(R"({"id":"8a1f","started_at":5})"));
    }

    // The pending clock-outs are one array under "endedAt"; one bad element refuses the whole list.
    void pendingStops() {
        const QList<PendingStop> stops{{u"s1"_s, 1733480000}, {u"s2"_s, 1733480100}};
        const QByteArray json = records::encodePendingStops(stops);
        QCOMPARE(json, QByteArray(R"([{"endedAt":1733480000,"id":"s1"},{"endedAt":1733480100,"id":"s2"}])"));
        QCOMPARE(records::decodePendingStops(json).value(), stops);
        QVERIFY(!records::decodePendingStops(R"([{"id":"s1","endedAt":1},{"id":"s2","ended_at":2}])"));
        QVERIFY(!records::decodePendingStops(R"([{"id":"s1","endedAt":1},7])"));
        QVERIFY(!records::decodePendingStops(R"({"id":"s1","endedAt":1})"));
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_records.moc"
