#include "profile/profile_file.h"
#include "tests/support/test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace parlonda;
using parlonda::test::fileBytes;
using parlonda::test::ReadOnlyFolder;

namespace {

const QStringList kBoxes = {QStringLiteral("pepe"),     QStringLiteral("José Pérez"),
                            QStringLiteral("p@x.es"),   QStringLiteral("555"),
                            QStringLiteral("Bogotá"),   QStringLiteral("Colombia"),
                            QStringLiteral("secreto1"), QStringLiteral("secreto2")};

const QByteArray kOldContent = "old:profile:with:more:text:than:the:new:one:\r\nsecond line\r\n";

bool putFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool canCreateFileIn(const QString &directory)
{
    QFile probe(QDir(directory).filePath(QStringLiteral("probe")));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.remove();
    return true;
}

// Root writes into a mode 0555 directory anyway, through CAP_DAC_OVERRIDE.
// Dropping that capability from this thread's effective set (and only there:
// it stays permitted, so it can be raised again) makes root obey the mode
// bits like anyone else, without immutable flags or mounts that a sandbox may
// refuse and that would outlive a crashed test.
class DacOverrideDropped
{
public:
    DacOverrideDropped()
    {
#ifdef Q_OS_LINUX
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        m_active = syscall(SYS_capset, &m_header, lowered) == 0;
#endif
    }
    ~DacOverrideDropped()
    {
#ifdef Q_OS_LINUX
        if (m_active)
            syscall(SYS_capset, &m_header, m_saved);
#endif
    }
    DacOverrideDropped(const DacOverrideDropped &) = delete;
    DacOverrideDropped &operator=(const DacOverrideDropped &) = delete;

private:
#ifdef Q_OS_LINUX
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
#endif
    bool m_active = false;
};

// Makes every write beyond a few bytes fail with EFBIG, as on a full disk,
// for this process until the guard ends.
class FileSizeLimited
{
public:
    FileSizeLimited()
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit tiny = m_saved;
        tiny.rlim_cur = 4;
        m_active = setrlimit(RLIMIT_FSIZE, &tiny) == 0;
    }
    ~FileSizeLimited()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimited(const FileSizeLimited &) = delete;
    FileSizeLimited &operator=(const FileSizeLimited &) = delete;

    bool isActive() const { return m_active; }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_active = false;
};

} // namespace

class ProfileFileTest : public QObject
{
    Q_OBJECT

private slots:
    void line_isSixFieldsWithColonsAndCrLf_data();
    void line_isSixFieldsWithColonsAndCrLf();
    void existingLongerFile_isReplacedWhole();
    void readOnlyDirectory_keepsExistingFileAndNamesPath();
    void fullDisk_keepsExistingFileAndNamesPath();
    void directoryUnderRegularFile_failsNamingPath();
};

void ProfileFileTest::line_isSixFieldsWithColonsAndCrLf_data()
{
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("accents in Windows-1252")
        << kBoxes << QByteArray("pepe:Jos\xE9 P\xE9rez:p@x.es:555:Bogot\xE1:Colombia:\r\n");
    QStringList noPhone = kBoxes;
    noPhone[3].clear();
    QTest::newRow("empty telephone")
        << noPhone << QByteArray("pepe:Jos\xE9 P\xE9rez:p@x.es::Bogot\xE1:Colombia:\r\n");
    QTest::newRow("all empty") << QStringList(8) << QByteArray("::::::\r\n");
    QTest::newRow("colon typed in a field")
        << QStringList{QStringLiteral("a:b"), {}, {}, {}, {}, QStringLiteral("Perú"), {}, {}}
        << QByteArray("a:b:::::Per\xFA:\r\n");
}

void ProfileFileTest::line_isSixFieldsWithColonsAndCrLf()
{
    QFETCH(QStringList, boxes);
    QFETCH(QByteArray, line);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    QString error;
    QVERIFY2(writeProfile(dir.path(), boxes, &error), qPrintable(error));
    const QByteArray written = fileBytes(dir.filePath(QStringLiteral("Parlonda.ini")));
    QCOMPARE(written, line);
    QVERIFY(!written.contains(QByteArrayView("secreto")));
}

void ProfileFileTest::existingLongerFile_isReplacedWhole()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = profilePath(dir.path());
    QVERIFY(putFile(path, kOldContent));

    QVERIFY(writeProfile(dir.path(), kBoxes, nullptr));
    QCOMPARE(fileBytes(path), profileLine(kBoxes));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{kProfileFileName});
}

void ProfileFileTest::readOnlyDirectory_keepsExistingFileAndNamesPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = profilePath(dir.path());
    QVERIFY(putFile(path, kOldContent));
    const ReadOnlyFolder readOnly(dir.path());
    QVERIFY(readOnly.made());
    const DacOverrideDropped asOrdinaryUser;
    if (canCreateFileIn(dir.path()))
        QSKIP("This process can create files in a read-only directory even after dropping "
              "CAP_DAC_OVERRIDE; there is no unwritable directory to test with here");

    QString error;
    QVERIFY(!writeProfile(dir.path(), kBoxes, &error));
    QCOMPARE(fileBytes(path), kOldContent);
    QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));
}

void ProfileFileTest::fullDisk_keepsExistingFileAndNamesPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = profilePath(dir.path());
    QVERIFY(putFile(path, kOldContent));

    QString error;
    bool written = false;
    {
        const FileSizeLimited fullDisk;
        QVERIFY(fullDisk.isActive());
        written = writeProfile(dir.path(), kBoxes, &error);
    }
    QVERIFY(!written);
    QCOMPARE(fileBytes(path), kOldContent);
    QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{kProfileFileName});
}

void ProfileFileTest::directoryUnderRegularFile_failsNamingPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(putFile(dir.filePath(QStringLiteral("afile")), "x"));
    const QString impossible = dir.filePath(QStringLiteral("afile/dir"));

    QString error;
    QVERIFY(!writeProfile(impossible, kBoxes, &error));
    QVERIFY2(error.contains(QDir::toNativeSeparators(profilePath(impossible))), qPrintable(error));
}

QTEST_GUILESS_MAIN(ProfileFileTest)
#include "profile_file_test.moc"
