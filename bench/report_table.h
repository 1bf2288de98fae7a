#pragma once

#include <QList>
#include <QString>

namespace parlonda::bench {

// What both benchmark programs print: a Markdown table, one row a figure
// beside its reference from the same run, then the machine it ran on.

struct Row
{
    QString measure;
    QString measured; // this program's figure
    QString reference;
    QString comparison; // ratio or difference
    QString target;
    QString met;
};

QString number(double value, int decimals);
// "+24" or "-7": a difference with its sign.
QString signedNumber(double value, int decimals);
// "yes", or "**no**, by <missedBy>": a missed target is reported with its
// margin, never moved.
QString metOrMissedBy(bool met, const QString &missedBy);

// The header (the first two columns named by the caller) and the rows.
QString tableText(const QString &measureColumn, const QString &programColumn,
                  const QList<Row> &rows);

// "Machine: ...", "Date: ..." and "Command: ..." lines. The machine is the
// processors the service would use (its processorCount()), the CPU model,
// the RAM and the system; `software` is added after them when not empty.
QString machineDateAndCommand(const QString &software = {});

} // namespace parlonda::bench
