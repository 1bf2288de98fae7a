// The dialog against the real stand-in service, as a new user meets them.

#include "form/messages.h"
#include "regnick_process.h"
#include "tests/form/form_driver.h"
#include "tests/support/forwarding_proxy.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_files.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QTest>

using namespace parlonda;
using namespace parlonda::test;

class WholeRoadTest : public QObject
{
    Q_OBJECT

private slots:
    void newNick_registers_thenTheSameNickIsTaken_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("http") << false;
        // The way it runs beyond this machine: https, with a certificate
        // the dialog is told to trust.
        QTest::newRow("https") << true;
    }

    void newNick_registers_thenTheSameNickIsTaken()
    {
        QFETCH(bool, tls);
        QTemporaryDir data;
        QStringList arguments;
        QList<QSslCertificate> trusted;
        if (tls) {
            const TestCa ca;
            const Pem server = ca.issue({"127.0.0.1"});
            QVERIFY(writeFile(data.filePath(u"cert.pem"_qs), server.certificate));
            QVERIFY(writeFile(data.filePath(u"key.pem"_qs), server.privateKey));
            arguments = QStringList{u"--tls-cert"_qs, data.filePath(u"cert.pem"_qs),
                                    u"--tls-key"_qs, data.filePath(u"key.pem"_qs)};
            trusted = QSslCertificate::fromData(QByteArray::fromStdString(ca.certificatePem()));
        }
        RegnickProcess service(data.filePath(u"cuentas.db"_qs), arguments);
        QVERIFY(service.start());
        QVERIFY(service.baseUrl().startsWith(tls ? u"https://"_qs : u"http://"_qs));

        {
            FormUnderTest f(service.baseUrl(), HttpTransfer::kDefaultTimeout, trusted);
            QVERIFY(f.shownAndActive());
            f.fillValid(u"ñandú");
            MessageReader reader;
            f.click(0);
            QCOMPARE(reader.texts(), QStringList{messages::registered()});
            QVERIFY(!f->isVisible());
            QCOMPARE(fileBytes(f.profilePath()),
                     "\xF1\x61nd\xFA:Nadia P\xE9rez:nadia@example.org:555 0101:Quito:Ecuador:\r\n");
        }
        {
            // Someone else, typing it in capitals: the nick box lower-cases it.
            FormUnderTest f(service.baseUrl(), HttpTransfer::kDefaultTimeout, trusted);
            QVERIFY(f.shownAndActive());
            f.fillValid(u"ÑANDÚ", u"Cuenca");
            MessageReader reader;
            f.click(0);
            QCOMPARE(reader.texts(), QStringList{messages::nickTaken(u"ñandú"_qs)});
            QVERIFY(f->isVisible());
            QVERIFY(!f.profileExists());
        }
        QTRY_VERIFY(service.log().contains("registered 200"));
        QTRY_VERIFY(service.log().contains("taken 200"));
        QVERIFY(service.stop());
    }

    void answerLost_samePressAgainRegisters()
    {
        QTemporaryDir data;
        RegnickProcess service(data.filePath(u"cuentas.db"_qs));
        QVERIFY(service.start());
        // The user's proxy, the only way to this name, loses the first answer.
        ForwardingProxy proxy(service.port());
        proxy.loseNextAnswer();
        qputenv("http_proxy", proxy.url().toLatin1());
        const auto noProxy = qScopeGuard([] { qunsetenv("http_proxy"); });

        FormUnderTest f(u"http://registro.parlonda.test"_qs);
        QVERIFY(f.shownAndActive());
        f.fillValid(u"ñandú");
        MessageReader reader;
        const auto pressWithCity = [&](QStringView city) {
            f->box(4)->clear();
            f.type(4, city);
            f.click(0);
            return reader.texts().last();
        };
        QCOMPARE(pressWithCity(u"Quito"), messages::unreachable());
        QCOMPARE(pressWithCity(u"Cuenca"), messages::nickTaken(u"ñandú"_qs));
        QVERIFY(!f.profileExists());
        QCOMPARE(pressWithCity(u"Quito"), messages::registered());
        QVERIFY(f.profileExists());
        QVERIFY(!f->isVisible());
        QVERIFY(service.stop());
    }
};

QTEST_MAIN(WholeRoadTest)
#include "whole_road_test.moc"
