// The shipped program binary, started as a user starts it and driven from
// the keyboard, registering with a test service: its exit status and where
// its profile lands. The program has its built-in service address; the test
// reaches it through an HTTP proxy named in the program's environment, which
// carries every request to the test's own server.

#include "form/messages.h"
#include "tests/support/forwarding_proxy.h"
#include "tests/support/test_files.h"
#include "tests/support/test_http_server.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <linux/capability.h>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>

using namespace parlonda::test;

namespace {

const QString kBuiltInUrl = QStringLiteral(PARLONDA_SERVER_URL);
const QByteArray kProfile = "nadia:Nadia P\xE9rez:nadia@example.org:555 0101:Quito:Ecuador:\r\n";

} // namespace

class ProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A packager's build speaks https to a host whose certificate only
        // the system trusts; the test service cannot stand in for it.
        if (!kBuiltInUrl.startsWith(u"http://"_qs))
            QSKIP(qPrintable(u"the program is built for %1"_qs.arg(kBuiltInUrl)));
    }

    void registration_savesTheProfileWhereItCan_data()
    {
        QTest::addColumn<bool>("programFolderWritable");
        QTest::addColumn<bool>("userFolderWritable");
        QTest::addColumn<QString>("savedIn"); // "program", "user" or empty
        QTest::addColumn<int>("exitCode");

        QTest::newRow("beside the program") << true << true << u"program"_qs << 0;
        QTest::newRow("installed read-only: the user's folder") << false << true << u"user"_qs << 0;
        QTest::newRow("nowhere to write") << false << false << QString() << 1;
    }

    void registration_savesTheProfileWhereItCan()
    {
        QFETCH(bool, programFolderWritable);
        QFETCH(bool, userFolderWritable);
        QFETCH(QString, savedIn);
        QFETCH(int, exitCode);

        TestHttpServer service;
        ForwardingProxy proxy(service.port());
        QTemporaryDir root;
        const QString programDir = root.filePath(u"programa"_qs);
        const QString dataHome = root.filePath(u"datos"_qs);
        QVERIFY(QDir().mkpath(programDir) && QDir().mkpath(dataHome));
        const QString program = programDir + u"/parlonda-registro"_qs;
        QVERIFY(QFile::copy(QStringLiteral(PARLONDA_PROGRAM_PATH), program));
        std::optional<ReadOnlyFolder> programFolderLocked;
        if (!programFolderWritable)
            QVERIFY(programFolderLocked.emplace(programDir).made());
        std::optional<ReadOnlyFolder> userFolderLocked;
        if (!userFolderWritable)
            QVERIFY(userFolderLocked.emplace(dataHome).made());

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_qs, u"offscreen"_qs);
        environment.insert(u"QT_PLUGIN_PATH"_qs, QStringLiteral(PARLONDA_TEST_PLUGIN_PATH));
        environment.insert(u"QT_QPA_GENERIC_PLUGINS"_qs, u"parlondakeyboard"_qs);
        environment.insert(u"PARLONDA_DRIVER_TEXTS"_qs,
                           u"nadia|Nadia Pérez|nadia@example.org|555 0101|Quito|Ecuador|"
                           u"secreto|secreto"_qs);
        environment.insert(u"http_proxy"_qs, proxy.url());
        environment.insert(u"HOME"_qs, root.filePath(u"casa"_qs));
        environment.insert(u"XDG_DATA_HOME"_qs, dataHome);

        QProcess process;
        process.setProcessEnvironment(environment);
        process.setProgram(program);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setChildProcessModifier([] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            // Root writes into a read-only folder anyway. Without this
            // capability in its bounding set, the program run as root gets
            // no such pass when it starts.
            if (::geteuid() == 0)
                ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        });
        QSignalSpy finished(&process, &QProcess::finished);
        process.start();
        // The event loop runs meanwhile: the proxy lives on it.
        QVERIFY(finished.wait(30000));

        const QString userProfile = dataHome + u"/parlonda-registro/Parlonda.ini"_qs;
        const QString programProfile = programDir + u"/Parlonda.ini"_qs;
        QStringList messages;
        for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
            if (line.startsWith("message: "))
                messages.append(QString::fromUtf8(line.mid(9)));
        }
        QStringList expected{parlonda::messages::registered()};
        if (savedIn.isEmpty())
            expected.append(parlonda::messages::profileNotSaved(userProfile));
        QCOMPARE(messages, expected);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);

        QCOMPARE(service.requestCount(), 1);
        QVERIFY(service.requests().front().body.starts_with("nick=nadia&"));
        QCOMPARE(fileBytes(programProfile), savedIn == u"program"_qs ? kProfile : QByteArray());
        QCOMPARE(fileBytes(userProfile), savedIn == u"user"_qs ? kProfile : QByteArray());
    }
};

QTEST_GUILESS_MAIN(ProgramTest)
#include "program_test.moc"
