// How the service learns who its client is behind a load balancer: the
// PROXY protocol header, the trusted networks, and X-Forwarded-For.
#include "server/http/client_address.h"
#include "server/http/listeners.h"
#include "server/http/proxy_header.h"

#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>

using namespace parlonda;
using Status = ProxyHeader::Status;

Q_DECLARE_METATYPE(ProxyHeader::Status)

namespace {

QByteArray v2(quint8 command, quint8 family, const QByteArray &rest)
{
    QByteArray header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += char(command);
    header += char(family);
    header += char(rest.size() >> 8);
    header += char(rest.size() & 0xFF);
    return header + rest;
}

// 192.0.2.7:4711 to 198.51.100.1:443
const QByteArray kV4Addresses = QByteArray::fromHex("c0000207c6336401126701bb");
// 2001:db8::7:4711 to 2001:db8::1:443
const QByteArray kV6Addresses = QByteArray::fromHex("20010db8000000000000000000000007"
                                                    "20010db8000000000000000000000001"
                                                    "126701bb");

QString sourceText(const ProxyHeader &header)
{
    const auto *address = reinterpret_cast<const sockaddr *>(&header.source);
    quint16 port = 0;
    if (address->sa_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in *>(address)->sin_port);
    else if (address->sa_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6 *>(address)->sin6_port);
    return QString::fromStdString(addressText(address)) + u' ' + QString::number(port);
}

sockaddr_storage address(const char *text)
{
    sockaddr_storage storage{};
    auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    if (inet_pton(AF_INET, text, &in4->sin_addr) == 1)
        in4->sin_family = AF_INET;
    else if (inet_pton(AF_INET6, text, &in6->sin6_addr) == 1)
        in6->sin6_family = AF_INET6;
    return storage;
}

AddressRanges ranges(const QStringList &cidrs)
{
    AddressRanges result;
    std::string error;
    for (const QString &cidr : cidrs)
        if (!result.add(cidr.toStdString(), error))
            qFatal("%s", error.c_str());
    return result;
}

} // namespace

class ClientAddressTest : public QObject
{
    Q_OBJECT

private slots:
    void proxyHeader_data();
    void proxyHeader();
    void trustedRanges_data();
    void trustedRanges();
    void trustedRanges_refuseNonsense();
    void forwardedFor_data();
    void forwardedFor();
};

void ClientAddressTest::proxyHeader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Status>("status");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("source");

    const auto row = [](const char *name, const QByteArray &bytes, Status status, int length,
                        const char *source) {
        QTest::newRow(name) << bytes << status << length << QString::fromLatin1(source);
    };
    const QByteArray request = "POST /cgi-bin/regnick.pl HTTP/1.1\r\n";
    const QByteArray v1 = "PROXY TCP4 192.0.2.7 198.51.100.1 4711 443\r\n";
    const QByteArray v16 = "PROXY TCP6 2001:db8::7 2001:db8::1 4711 443\r\n";
    row("v1 TCP4", v1 + request, Status::Proxied, int(v1.size()), "192.0.2.7 4711");
    row("v1 TCP6", v16 + request, Status::Proxied, int(v16.size()), "2001:db8::7 4711");
    row("v1 UNKNOWN", "PROXY UNKNOWN\r\nGET", Status::Local, 15, "");
    row("v1 UNKNOWN with addresses", "PROXY UNKNOWN ff::1 ff::2 1 2\r\n", Status::Local, 31, "");
    // The longest addresses and ports; UNKNOWN with them is the longest
    // header there is, 107 bytes.
    const QByteArray longest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
                               "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";
    row("v1 longest TCP6", "PROXY TCP6 " + longest, Status::Proxied, 104,
        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535");
    row("v1 longest", "PROXY UNKNOWN " + longest, Status::Local, 107, "");

    const QByteArray v2v4 = v2(0x21, 0x11, kV4Addresses);
    row("v2 TCP4", v2v4 + request, Status::Proxied, int(v2v4.size()), "192.0.2.7 4711");
    const QByteArray v2v6 = v2(0x21, 0x21, kV6Addresses);
    row("v2 TCP6", v2v6 + request, Status::Proxied, int(v2v6.size()), "2001:db8::7 4711");
    const QByteArray withTlv = v2(0x21, 0x11, kV4Addresses + QByteArray("\x04\x00\x02id", 5));
    row("v2 with an extension", withTlv, Status::Proxied, int(withTlv.size()), "192.0.2.7 4711");
    row("v2 LOCAL", v2(0x20, 0x00, {}) + request, Status::Local, 16, "");
    row("v2 UNSPEC", v2(0x21, 0x00, {}), Status::Local, 16, "");
    row("v2 UDP", v2(0x21, 0x12, kV4Addresses), Status::Local, 28, "");
    row("v2 UNIX", v2(0x21, 0x31, QByteArray(216, 'x')), Status::Local, 232, "");

    row("plain HTTP", request, Status::Absent, 0, "");
    row("TLS hello", QByteArray::fromHex("16030100"), Status::Absent, 0, "");
    row("lower case", QByteArray("proxy TCP4 1.2.3.4 1.2.3.4 1 2\r\n"), Status::Absent, 0, "");

    const auto malformed = [](const char *name, const QByteArray &bytes) {
        QTest::newRow(name) << bytes << Status::Malformed << 0 << QString();
    };
    malformed("v1 unknown protocol", "PROXY UDP4 192.0.2.7 198.51.100.1 4711 443\r\n");
    malformed("v1 TCP4 with IPv6", "PROXY TCP4 2001:db8::7 2001:db8::1 4711 443\r\n");
    malformed("v1 TCP6 with IPv4", "PROXY TCP6 192.0.2.7 198.51.100.1 4711 443\r\n");
    malformed("v1 bad destination", "PROXY TCP4 192.0.2.7 198.51.100 4711 443\r\n");
    malformed("v1 port too large", "PROXY TCP4 192.0.2.7 198.51.100.1 65536 443\r\n");
    malformed("v1 port leading zero", "PROXY TCP4 192.0.2.7 198.51.100.1 04711 443\r\n");
    malformed("v1 port sign", "PROXY TCP4 192.0.2.7 198.51.100.1 +4711 443\r\n");
    malformed("v1 missing port", "PROXY TCP4 192.0.2.7 198.51.100.1 4711\r\n");
    malformed("v1 extra word", "PROXY TCP4 192.0.2.7 198.51.100.1 4711 443 x\r\n");
    malformed("v1 two spaces", "PROXY TCP4  192.0.2.7 198.51.100.1 4711 443\r\n");
    malformed("v1 trailing space", "PROXY TCP4 192.0.2.7 198.51.100.1 4711 443 \r\n");
    malformed("v1 bare LF", "PROXY TCP4 192.0.2.7 198.51.100.1 4711 443\n");
    malformed("v1 NUL", QByteArray("PROXY TCP4 192.0.2.7\0", 21));
    malformed("v1 empty", "PROXY \r\n");
    malformed("v1 no end in 107 bytes", "PROXY TCP6 " + QByteArray(96, 'f'));
    malformed("v2 version 1", v2(0x11, 0x11, kV4Addresses));
    malformed("v2 command 2", v2(0x22, 0x11, kV4Addresses));
    malformed("v2 family 4", v2(0x21, 0x41, kV4Addresses));
    malformed("v2 transport 3", v2(0x21, 0x13, kV4Addresses));
    malformed("v2 TCP4 short", v2(0x21, 0x11, kV4Addresses.left(11)));
    malformed("v2 TCP6 short", v2(0x21, 0x21, kV6Addresses.left(35)));
    malformed("v2 too long", v2(0x21, 0x11, QByteArray(int(kProxyV2MaxBytes), 'x')));
}

void ClientAddressTest::proxyHeader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Status, status);
    QFETCH(int, length);
    QFETCH(QString, source);

    const ProxyHeader header = parseProxyHeader(bytes.toStdString());
    QCOMPARE(header.status, status);
    if (status == Status::Proxied || status == Status::Local)
        QCOMPARE(header.length, std::size_t(length));
    if (status == Status::Proxied)
        QCOMPARE(sourceText(header), source);
    // A header may arrive in pieces: every strict beginning of one needs
    // more, and never reads as absent or malformed.
    if (status == Status::Proxied || status == Status::Local) {
        for (int n = 0; n < length; ++n)
            QCOMPARE(parseProxyHeader(bytes.left(n).toStdString()).status, Status::NeedMore);
    }
}

void ClientAddressTest::trustedRanges_data()
{
    QTest::addColumn<QStringList>("cidrs");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("trusted");

    const QStringList lan = {QStringLiteral("10.0.0.0/8"), QStringLiteral("192.0.2.1"),
                             QStringLiteral("2001:db8:1::/48")};
    QTest::newRow("in a /8") << lan << QStringLiteral("10.200.3.4") << true;
    QTest::newRow("beside a /8") << lan << QStringLiteral("11.0.0.1") << false;
    QTest::newRow("one address") << lan << QStringLiteral("192.0.2.1") << true;
    QTest::newRow("next to one address") << lan << QStringLiteral("192.0.2.2") << false;
    QTest::newRow("in a /48") << lan << QStringLiteral("2001:db8:1:ffff::9") << true;
    QTest::newRow("beside a /48") << lan << QStringLiteral("2001:db8:2::9") << false;
    QTest::newRow("IPv4-mapped") << lan << QStringLiteral("::ffff:10.1.2.3") << true;
    QTest::newRow("IPv4 never matches IPv6")
        << QStringList{QStringLiteral("::/0")} << QStringLiteral("127.0.0.1") << false;
    QTest::newRow("odd prefix in")
        << QStringList{QStringLiteral("192.0.2.64/27")} << QStringLiteral("192.0.2.95") << true;
    QTest::newRow("odd prefix out")
        << QStringList{QStringLiteral("192.0.2.64/27")} << QStringLiteral("192.0.2.96") << false;
    QTest::newRow("all IPv4") << QStringList{QStringLiteral("0.0.0.0/0")}
                              << QStringLiteral("203.0.113.9") << true;
    QTest::newRow("none") << QStringList{} << QStringLiteral("127.0.0.1") << false;
    const QStringList mapped = {QStringLiteral("::ffff:10.0.0.0/104")};
    QTest::newRow("IPv4-mapped range, IPv4") << mapped << QStringLiteral("10.9.8.7") << true;
    QTest::newRow("IPv4-mapped range, mapped")
        << mapped << QStringLiteral("::ffff:10.9.8.7") << true;
    QTest::newRow("IPv4-mapped range, beside") << mapped << QStringLiteral("11.0.0.1") << false;
}

void ClientAddressTest::trustedRanges()
{
    QFETCH(QStringList, cidrs);
    QFETCH(QString, peer);
    QFETCH(bool, trusted);
    const sockaddr_storage storage = address(peer.toLatin1().constData());
    QCOMPARE(ranges(cidrs).contains(reinterpret_cast<const sockaddr *>(&storage)), trusted);
}

void ClientAddressTest::trustedRanges_refuseNonsense()
{
    for (const char *cidr :
         {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/8x", "10.0.0/8", "proxy.example.net", "",
          "10.0.0.0/-1", "::ffff:10.0.0.0/95", "::ffff:10.0.0.0/129"}) {
        AddressRanges ranges;
        std::string error;
        QVERIFY2(!ranges.add(cidr, error), cidr);
        QVERIFY(!error.empty());
    }
}

void ClientAddressTest::forwardedFor_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("client"); // empty: none, served under the peer's address
    const auto row = [](const char *name, const char *header, const char *client) {
        QTest::newRow(name) << QString::fromLatin1(header) << QString::fromLatin1(client);
    };

    row("one client", "192.0.2.7", "192.0.2.7");
    row("written by the client, then the proxy", "6.6.6.6, 192.0.2.7", "192.0.2.7");
    row("through two trusted proxies", "6.6.6.6, 192.0.2.7, 10.0.0.2,10.0.0.3", "192.0.2.7");
    row("IPv6", " 2001:db8::7 ", "2001:db8::7");
    row("every one trusted", "10.0.0.1, 10.0.0.2", "10.0.0.1");
    row("garbage at the right", "192.0.2.7, unknown", "");
    row("with a port", "192.0.2.7:4711", "192.0.2.7");
    row("IPv6 in brackets, with a port", "6.6.6.6, [2001:db8::7]:443", "2001:db8::7");
    row("IPv6 in brackets", "[2001:db8::7]", "2001:db8::7");
    row("port out of range", "192.0.2.7:65536", "");
    row("IPv4 in brackets", "[192.0.2.7]:80", "");
    row("unclosed bracket", "[2001:db8::7", "");
    row("empty", "", "");
    row("empty entry", "192.0.2.7,", "");
}

void ClientAddressTest::forwardedFor()
{
    QFETCH(QString, header);
    QFETCH(QString, client);
    const std::optional<sockaddr_storage> found =
        forwardedClient(header.toStdString(), ranges({QStringLiteral("10.0.0.0/8")}));
    QCOMPARE(found.has_value(), !client.isEmpty());
    if (found)
        QCOMPARE(QString::fromStdString(addressText(reinterpret_cast<const sockaddr *>(&*found))),
                 client);
}

QTEST_APPLESS_MAIN(ClientAddressTest)
#include "client_address_test.moc"
