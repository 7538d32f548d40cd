#include "jsonguard.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

Q_DECLARE_METATYPE(jsonguard::Scan)

class TestJsonGuard : public QObject
{
    Q_OBJECT

private slots:
    void findsRepeatedKeys_data();
    void findsRepeatedKeys();
    void refusesNestingQtRefuses_data();
    void refusesNestingQtRefuses();
    void acceptedTextParsesAsQtParsesIt_data();
    void acceptedTextParsesAsQtParsesIt();
    void refusedTextIsNullWithReason_data();
    void refusedTextIsNullWithReason();
};

void TestJsonGuard::findsRepeatedKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("repeated");

    QTest::newRow("distinct keys") << QByteArray(R"({"type":"x","a":1,"b":[1]})") << false;
    QTest::newRow("scalar repeated") << QByteArray(R"({"a":1,"a":2})") << true;
    QTest::newRow("repeated after an array") << QByteArray(R"({"a":[1],"a":2})") << true;
    QTest::newRow("repeated after an object") << QByteArray(R"({"a":{"b":1},"a":{}})") << true;
    QTest::newRow("repeated deep inside an array")
        << QByteArray(R"([1,{"x":{"a":1,"b":{"a":2},"a":3}}])") << true;
    QTest::newRow("same key in sibling objects") << QByteArray(R"([{"a":1},{"a":2}])") << false;
    QTest::newRow("same key in parent and child") << QByteArray(R"({"a":{"a":{"a":1}}})") << false;
    QTest::newRow("sibling at the same depth starts afresh")
        << QByteArray(R"([{"a":1,"b":2},{"b":3,"c":{"b":4}}])") << false;
    QTest::newRow("repeated after a nested object closes")
        << QByteArray(R"({"a":[1,{"c":1}],"c":2,"a":3})") << true;
    QTest::newRow("key of an inner object reused outside")
        << QByteArray(R"({"a":[{"b":1}],"b":2})") << false;
    QTest::newRow("values that look like keys")
        << QByteArray(R"({"a":"\"a\":1","b":["a","a"],"c":"b"})") << false;
    QTest::newRow("escaped quote ends no key") << QByteArray(R"({"a\"":1,"a":2})") << false;
    QTest::newRow("escaped backslash before the quote")
        << QByteArray(R"({"a\\":1,"a\\":2})") << true;
    QTest::newRow("unicode escape of a plain letter")
        << QByteArray(R"({"\u0061":1,"a":2})") << true;
    QTest::newRow("upper case hex digits") << QByteArray(R"({"\u00E9":1,"\u00e9":2})") << true;
    QTest::newRow("escape of a raw UTF-8 letter")
        << QByteArray("{\"\xc3\xa9\":1,\"\\u00e9\":2}") << true;
    QTest::newRow("escaped surrogate pair of a raw emoji")
        << QByteArray("{\"\\ud83d\\ude00\":[1],\"\xf0\x9f\x98\x80\":2}") << true;
    QTest::newRow("lone surrogates repeated") << QByteArray(R"({"\ud83d":1,"\ud83d":2})") << true;
    QTest::newRow("unknown escape stands for its letter")
        << QByteArray(R"({"\q":1,"q":2})") << true;
    QTest::newRow("control escapes") << QByteArray(R"({"\n\t":1,"\u000a\u0009":2})") << true;
    QTest::newRow("letter case differs") << QByteArray(R"({"A":1,"a":2})") << false;
    QTest::newRow("byte order mark is part of the key") << QByteArray("{\"\xef\xbb\xbf"
                                                                      "a\":1,\"a\":2}")
                                                        << false;
    QTest::newRow("empty keys") << QByteArray(R"({"":1,"":2})") << true;
    QTest::newRow("white space around") << QByteArray(" {\n \"a\" : 1 ,\n \"a\" :2 } ") << true;
    QTest::newRow("unterminated string") << QByteArray(R"({"a":1,"a)") << false;
    QTest::newRow("garbage after the document repeats")
        << QByteArray(R"({"a":1}{"b":[1],"b":2})") << true;
}

void TestJsonGuard::findsRepeatedKeys()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, repeated);

    QCOMPARE(jsonguard::scan(text.constData(), text.size()),
        repeated ? jsonguard::Scan::RepeatedKey : jsonguard::Scan::Clean);
}

void TestJsonGuard::refusesNestingQtRefuses_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<bool>("objects");

    for (const bool objects : { false, true }) {
        const char *kind = objects ? "objects" : "arrays";
        QTest::addRow("%s 1024 deep", kind) << 1024 << objects;
        QTest::addRow("%s 1025 deep", kind) << 1025 << objects;
        QTest::addRow("%s 100000 deep", kind) << 100000 << objects;
    }
}

void TestJsonGuard::refusesNestingQtRefuses()
{
    QFETCH(int, depth);
    QFETCH(bool, objects);

    QByteArray text;
    for (int i = 0; i < depth; ++i)
        text += objects ? QByteArrayLiteral("{\"a\":") : QByteArrayLiteral("[");
    text += '1';
    for (int i = 0; i < depth; ++i)
        text += objects ? '}' : ']';
    QJsonParseError error {};
    QJsonDocument::fromJson(text, &error);
    const bool qtRefuses = error.error == QJsonParseError::DeepNesting;
    QCOMPARE(jsonguard::scan(text.constData(), text.size()),
        qtRefuses ? jsonguard::Scan::TooDeep : jsonguard::Scan::Clean);
    QString reason;
    QCOMPARE(jsonguard::parse(text, &reason).isNull(), qtRefuses);
    QCOMPARE(reason, qtRefuses ? error.errorString() : QString());
}

void TestJsonGuard::acceptedTextParsesAsQtParsesIt_data()
{
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("frame") << QByteArray(
        R"({"type":"message","content":{"text":"hi","file":null},"seenBy":["u1","u2"]})");
    QTest::newRow("array of objects") << QByteArray(R"([{"id":"a"},{"id":"a"}])");
    QTest::newRow("unicode keys") << QByteArray("{\"\xc3\xa9\":1,\"e\":2,\"\\u00c9\":3}");
    QTest::newRow("truncated") << QByteArray(R"({"type":"message")");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("invalid UTF-8 key") << QByteArray("{\"\xff\":1}");
    QTest::newRow("escaped NUL keys that differ after it")
        << QByteArray(R"({"a\u0000b":[1],"a\u0000c":[2]})");
    QTest::newRow("raw NUL in a value") << QByteArray("{\"a\":\"x\0y\",\"b\":[\"x\0z\"]}", 23);
}

void TestJsonGuard::acceptedTextParsesAsQtParsesIt()
{
    QFETCH(QByteArray, text);

    QJsonParseError error {};
    const QJsonDocument expected = QJsonDocument::fromJson(text, &error);
    QString reason = QStringLiteral("untouched");
    QCOMPARE(jsonguard::parse(text, &reason), expected);
    QCOMPARE(reason, error.error == QJsonParseError::NoError ? QString() : error.errorString());
}

void TestJsonGuard::refusedTextIsNullWithReason_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expectedReason");

    const QString repeated = QStringLiteral("an object repeats a key");
    const QString nul = QStringLiteral("an object key holds a NUL byte");
    QTest::newRow("frame repeating its type")
        << QByteArray(R"({"type":"message","type":"message_deleted"})") << repeated;
    QTest::newRow("large value replaced")
        << (QByteArray(R"({"a":[)") + QByteArray(4000, '1') + QByteArray(R"(],"a":[],"a":{}})"))
        << repeated;
    QTest::newRow("repeat inside a later array element")
        << QByteArray(R"({"chats":[{"id":"c1"},{"id":"c2","messages":[{"id":1,"id":2}]}]})")
        << repeated;
    // Qt would take these two keys for one and leak the first value.
    QTest::newRow("raw NUL keys that differ after it")
        << QByteArray("{\"a\0b\":[1],\"a\0c\":[2]}", 21) << nul;
    QTest::newRow("raw NUL in a nested key")
        << QByteArray("[{\"m\":{\"\xc3\xa9\0\":1}}]", 17) << nul;
}

void TestJsonGuard::refusedTextIsNullWithReason()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expectedReason);

    QString reason;
    QVERIFY(jsonguard::parse(text, &reason).isNull());
    QCOMPARE(reason, expectedReason);
    QVERIFY(jsonguard::parse(text).isNull());
}

QTEST_APPLESS_MAIN(TestJsonGuard)
#include "tst_jsonguard.moc"
