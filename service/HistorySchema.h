#pragma once

#include <QString>

class QSqlDatabase;

// The result history's tables, made on a new database and checked on an existing one.
//   account  the service address and user name a result belongs to
//   target   the page a test fetched
//   entry    an account's list entry, by its text
//   result   every result of the last days, keyed by entry, target and time
//   hourly   every result also as counts per outcome and latency bucket, an hour a row, which
//            outlive the results
//   daily    the same a day a row, so that a month is read in few rows
namespace HistorySchema {

// Known to this program; a database of a later one is left alone.
constexpr int version = 1;

// Sets the connection up (write-ahead log, incremental vacuum on a new file) and makes the
// tables when missing. False with the reason in error.
bool prepare(QSqlDatabase &db, QString *error);

} // namespace HistorySchema
