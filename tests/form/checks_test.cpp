#include "form/checks.h"
#include "form/messages.h"

#include <QTest>

using namespace parlonda;

namespace {

// Tags as the form gives them: every box required but the telephone.
const QStringList kTags = {u"si"_qs, u"si"_qs, u"si"_qs, QString(),
                           u"si"_qs, u"si"_qs, u"si"_qs, u"si"_qs};

QStringList valid()
{
    return {u"nadia"_qs, u"Nadia Pérez"_qs, u"n@x.org"_qs, u"555"_qs,
            u"Quito"_qs, u"Ecuador"_qs,     u"clave"_qs,   u"clave"_qs};
}

QStringList with(std::initializer_list<std::pair<int, QString>> changes)
{
    QStringList texts = valid();
    for (const auto &[index, text] : changes)
        texts[index] = text;
    return texts;
}

} // namespace

class ChecksTest : public QObject
{
    Q_OBJECT

private slots:
    void checkEntries_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<CheckResult>("expected");

        QTest::newRow("all filled") << valid() << CheckResult::Passed;
        QTest::newRow("telephone empty") << with({{3, {}}}) << CheckResult::Passed;
        QTest::newRow("only spaces count as filled")
            << with({{1, u"   "_qs}}) << CheckResult::Passed;
        QTest::newRow("passwords differ")
            << with({{7, u"clavE"_qs}}) << CheckResult::PasswordsDiffer;
        QTest::newRow("confirmation empty") << with({{7, {}}}) << CheckResult::PasswordsDiffer;
        QTest::newRow("password check comes first")
            << with({{0, {}}, {7, u"otra"_qs}}) << CheckResult::PasswordsDiffer;
        QTest::newRow("both passwords empty")
            << with({{6, {}}, {7, {}}}) << CheckResult::RequiredEmpty;
        QTest::newRow("nick empty") << with({{0, {}}}) << CheckResult::RequiredEmpty;
        QTest::newRow("country empty, the last required box before the passwords")
            << with({{5, {}}}) << CheckResult::RequiredEmpty;
        QTest::newRow("several empty")
            << with({{1, {}}, {2, {}}, {4, {}}}) << CheckResult::RequiredEmpty;
    }

    void checkEntries()
    {
        QFETCH(QStringList, texts);
        QFETCH(CheckResult, expected);
        QCOMPARE(parlonda::checkEntries(texts, kTags), expected);
    }

    void checkEntries_requiredComesFromTags()
    {
        // A box is required because of its tag, not because of its position.
        QStringList tags = kTags;
        tags[3] = u"si"_qs;
        QCOMPARE(parlonda::checkEntries(with({{3, {}}}), tags), CheckResult::RequiredEmpty);
        tags[0].clear();
        QCOMPARE(parlonda::checkEntries(with({{0, {}}}), tags), CheckResult::Passed);
    }

    // The wording users and operators know, typos included: the other tests
    // take their texts from form/messages, so only this one reads them.
    void messages_keepTheirWording_data()
    {
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("wording");
        QTest::newRow("passwords differ")
            << messages::forCheck(CheckResult::PasswordsDiffer) << u"Los password no coinciden"_qs;
        QTest::newRow("required empty")
            << messages::forCheck(CheckResult::RequiredEmpty)
            << u"Debe llenar todos los campos cuyos nombres se encuentren en negrita"_qs;
        QTest::newRow("checks passed") << messages::forCheck(CheckResult::Passed) << QString();
        QTest::newRow("nick taken") << messages::nickTaken(u"<b>ñandú</b>"_qs)
                                    << u"El nick <b>ñandú</b> Ya está en uso eliga otro"_qs;
        QTest::newRow("registered")
            << messages::registered()
            << u"Fue registrado Satisfactoriamente en el servidor, Gracias Por su preferencia"_qs;
        QTest::newRow("profile not saved")
            << messages::profileNotSaved(u"/home/ana/Parlonda.ini"_qs)
            << u"Fue registrado en el servidor, pero no se pudo guardar el archivo "
               u"/home/ana/Parlonda.ini."_qs;
        QTest::newRow("server status") << messages::serverStatus(500)
                                       << u"El servidor de registro no pudo procesar la solicitud "
                                          u"(código 500). Intente de nuevo más tarde."_qs;
        QTest::newRow("server busy") << messages::serverBusy()
                                     << u"El servidor de registro está ocupado. Espere un momento "
                                        u"e intente de nuevo."_qs;
        QTest::newRow("unreachable") << messages::unreachable()
                                     << u"No se pudo comunicar con el servidor de registro. "
                                        u"Verifique su conexión e intente de nuevo."_qs;
        QTest::newRow("timed out") << messages::timedOut()
                                   << u"El servidor de registro no respondió a tiempo. Intente de "
                                      u"nuevo más tarde."_qs;
        QTest::newRow("insecure") << messages::insecure()
                                  << u"No se pudo establecer una conexión segura con el servidor "
                                     u"de registro. Intente de nuevo más tarde."_qs;
    }

    void messages_keepTheirWording()
    {
        QFETCH(QString, shown);
        QFETCH(QString, wording);
        QCOMPARE(shown, wording);
    }
};

QTEST_GUILESS_MAIN(ChecksTest)
#include "checks_test.moc"
