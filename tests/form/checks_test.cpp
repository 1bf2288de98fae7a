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

    void checkMessage_texts()
    {
        QCOMPARE(messages::forCheck(CheckResult::PasswordsDiffer), u"Los password no coinciden"_qs);
        QCOMPARE(messages::forCheck(CheckResult::RequiredEmpty),
                 u"Debe llenar todos los campos cuyos nombres se encuentren en negrita"_qs);
        QVERIFY(messages::forCheck(CheckResult::Passed).isEmpty());
    }
};

QTEST_GUILESS_MAIN(ChecksTest)
#include "checks_test.moc"
