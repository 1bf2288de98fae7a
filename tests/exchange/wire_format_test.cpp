#include "exchange/registration_reply.h"
#include "exchange/registration_request.h"

#include <QTest>
#include <httplib.h>
#include <string>

using namespace parlonda;

namespace {

const QStringList kKeys = {QStringLiteral("nick"),   QStringLiteral("nombres"),
                           QStringLiteral("email"),  QStringLiteral("tel"),
                           QStringLiteral("ciudad"), QStringLiteral("pais"),
                           QStringLiteral("paswd")};

} // namespace

class WireFormatTest : public QObject
{
    Q_OBJECT

private slots:
    void url_isServerUrlFollowedByScript();
    void plainBody_hasAllKeysInOrderWithoutConfirmation();
    void formEncode_keepsOnlyUnreservedBytes_data();
    void formEncode_keepsOnlyUnreservedBytes();
    void hostileValue_survivesRealFormParser_data();
    void hostileValue_survivesRealFormParser();
    void reply_onlyExactErrorMeansNickTaken_data();
    void reply_onlyExactErrorMeansNickTaken();
    void replyText_cutsAtChunkAndDecodesWindows1252();
};

void WireFormatTest::url_isServerUrlFollowedByScript()
{
    const QUrl url = registrationUrl(QStringLiteral("http://127.0.0.1:8080"));
    QVERIFY(url.isValid());
    QCOMPARE(url.toString(), QStringLiteral("http://127.0.0.1:8080/cgi-bin/regnick.pl"));
    QCOMPARE(url.port(), 8080);
    QCOMPARE(registrationHeaderText(),
             QStringLiteral("Content-Type: application/x-www-form-urlencoded"));
}

void WireFormatTest::plainBody_hasAllKeysInOrderWithoutConfirmation()
{
    const QStringList boxes = {QStringLiteral("pepe"),    QStringLiteral("Jose Perez"),
                               QStringLiteral("p@x.es"),  QString(),
                               QStringLiteral("Lima"),    QStringLiteral("Peru"),
                               QStringLiteral("secreto"), QStringLiteral("confirmacion")};
    QCOMPARE(registrationBody(boxes),
             QByteArray("nick=pepe&nombres=Jose+Perez&email=p%40x.es&tel=&ciudad=Lima"
                        "&pais=Peru&paswd=secreto"));
}

void WireFormatTest::formEncode_keepsOnlyUnreservedBytes_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("encoded");

    QTest::newRow("unreserved") << QStringLiteral("azAZ09*-._") << QByteArray("azAZ09*-._");
    QTest::newRow("space") << QStringLiteral(" a b ") << QByteArray("+a+b+");
    QTest::newRow("reserved") << QStringLiteral("&=+%/?~") << QByteArray("%26%3D%2B%25%2F%3F%7E");
    QTest::newRow("controls") << QStringLiteral("\r\n\t") << QByteArray("%0D%0A%09");
    QTest::newRow("upper-case hex, one byte per letter")
        << QStringLiteral("País ñ €ÿ") << QByteArray("Pa%EDs+%F1+%80%FF");
}

void WireFormatTest::formEncode_keepsOnlyUnreservedBytes()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, encoded);
    QCOMPARE(formEncode(value), encoded);
}

void WireFormatTest::hostileValue_survivesRealFormParser_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ampersand") << QStringLiteral("a&b") << QByteArray("a&b");
    QTest::newRow("equals") << QStringLiteral("a=b") << QByteArray("a=b");
    QTest::newRow("plus") << QStringLiteral("c+d") << QByteArray("c+d");
    QTest::newRow("percent") << QStringLiteral("100%") << QByteArray("100%");
    QTest::newRow("escape lookalike") << QStringLiteral("%41") << QByteArray("%41");
    QTest::newRow("all at once") << QStringLiteral("a&b=c+d%") << QByteArray("a&b=c+d%");
    QTest::newRow("spaces") << QStringLiteral("  two  spaces  ") << QByteArray("  two  spaces  ");
    QTest::newRow("n tilde") << QStringLiteral("ñ") << QByteArray("\xF1");
    QTest::newRow("a acute") << QStringLiteral("á") << QByteArray("\xE1");
    QTest::newRow("euro") << QStringLiteral("€") << QByteArray("\x80");
    QTest::newRow("y diaeresis") << QStringLiteral("ÿ") << QByteArray("\xFF");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("10000 characters")
        << QStringLiteral("ñ&").repeated(5000) << QByteArray("\xF1&").repeated(5000);
}

void WireFormatTest::hostileValue_survivesRealFormParser()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, bytes);

    QStringList boxes(7, value);
    boxes.append(QStringLiteral("confirmation"));
    const QByteArray body = registrationBody(boxes);

    // The keys, in order: with every value encoded, "&" separates keys only.
    const QList<QByteArray> pairs = body.split('&');
    QCOMPARE(pairs.size(), kKeys.size());
    for (qsizetype i = 0; i < pairs.size(); ++i)
        QCOMPARE(QString::fromLatin1(pairs[i].left(pairs[i].indexOf('='))), kKeys[i]);

    httplib::Params params;
    httplib::detail::parse_query_text(body.toStdString(), params);
    QCOMPARE(params.size(), std::size_t(7));
    const std::string expected = bytes.toStdString();
    for (const QString &key : kKeys) {
        const std::string name = key.toStdString();
        QCOMPARE(params.count(name), std::size_t(1));
        QCOMPARE(params.find(name)->second, expected);
    }
}

void WireFormatTest::reply_onlyExactErrorMeansNickTaken_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<ReplyOutcome>("outcome");

    QTest::newRow("Error") << QStringLiteral("Error") << ReplyOutcome::NickTaken;
    QTest::newRow("error") << QStringLiteral("error") << ReplyOutcome::Registered;
    QTest::newRow("ERROR") << QStringLiteral("ERROR") << ReplyOutcome::Registered;
    QTest::newRow("leading space") << QStringLiteral(" Error") << ReplyOutcome::Registered;
    QTest::newRow("line break") << QStringLiteral("Error\r\n") << ReplyOutcome::Registered;
    QTest::newRow("prefix") << QStringLiteral("Erro") << ReplyOutcome::Registered;
    QTest::newRow("empty") << QString() << ReplyOutcome::Registered;
    QTest::newRow("long page") << QStringLiteral("<html>Error</html>").repeated(100)
                               << ReplyOutcome::Registered;
}

void WireFormatTest::reply_onlyExactErrorMeansNickTaken()
{
    QFETCH(QString, reply);
    QFETCH(ReplyOutcome, outcome);
    QCOMPARE(classifyReply(reply), outcome);
}

void WireFormatTest::replyText_cutsAtChunkAndDecodesWindows1252()
{
    QCOMPARE(replyText("Error"), QStringLiteral("Error"));
    QCOMPARE(replyText({}), QString());

    // 0x80 is the last byte of the chunk, so a cut one byte early or late shows.
    const QByteArray body = QByteArray(kReplyChunkSize - 1, 'x') + "\x80" + "tail";
    const QString text = replyText(body);
    QCOMPARE(text.size(), kReplyChunkSize);
    QCOMPARE(text.back(), QChar(0x20AC));
}

QTEST_GUILESS_MAIN(WireFormatTest)
#include "wire_format_test.moc"
