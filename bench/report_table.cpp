#include "bench/report_table.h"

#include "server/signup/hash_pool.h"

#include <QDateTime>
#include <QFile>
#include <QSysInfo>

namespace parlonda::bench {
namespace {

QString cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (QByteArray line = cpuinfo.readLine(); !line.isEmpty(); line = cpuinfo.readLine()) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown CPU");
}

QString memoryTotal()
{
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (meminfo.open(QIODevice::ReadOnly)) {
        const QByteArray line = meminfo.readLine();
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (line.startsWith("MemTotal:") && fields.size() >= 2)
            return number(fields[1].toDouble() / 1024.0 / 1024.0, 1) + QStringLiteral(" GiB RAM");
    }
    return QStringLiteral("unknown RAM");
}

} // namespace

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString signedNumber(double value, int decimals)
{
    return (value >= 0 ? QStringLiteral("+") : QString()) + number(value, decimals);
}

QString metOrMissedBy(bool met, const QString &missedBy)
{
    return met ? QStringLiteral("yes") : QStringLiteral("**no**, by ") + missedBy;
}

QString tableText(const QString &measureColumn, const QString &programColumn,
                  const QList<Row> &rows)
{
    QString text = QStringLiteral("| %1 | %2 | reference | ratio / difference | target | met? "
                                  "|\n|---|---:|---:|---:|---|---|\n")
                       .arg(measureColumn, programColumn);
    for (const Row &row : rows) {
        text +=
            QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |\n")
                .arg(row.measure, row.measured, row.reference, row.comparison, row.target, row.met);
    }
    return text;
}

QString machineDateAndCommand(const QString &software)
{
    QString machine = QStringLiteral("%1 processors (nproc), %2, %3; %4 %5, %6")
                          .arg(processorCount())
                          .arg(cpuModel(), memoryTotal(), QSysInfo::kernelType(),
                               QSysInfo::kernelVersion(), QSysInfo::prettyProductName());
    if (!software.isEmpty())
        machine += QStringLiteral("; ") + software;
    return QStringLiteral("Machine: %1.\nDate: %2.\nCommand: `./benchmark`\n")
        .arg(machine, QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm t")));
}

} // namespace parlonda::bench
