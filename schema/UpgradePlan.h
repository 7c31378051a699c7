// The planned upgrade: the creation statements and the fixed statement list
// with each table copied as few times as the list allows, and with exactly
// the outcome of running every statement alone, in order.
//
// The layout of the tables that the list alters is read once from the
// server; the list is walked in order while a model of that layout is kept
// up to date:
//   - a statement the model says the server refuses is sent alone, so the
//     server itself gives its "SQL ERROR" line (first the table's pending
//     clauses are sent when the refusal could depend on them);
//   - the statements that apply to one table gather into one ALTER TABLE,
//     clauses in list order, together with the table's conversion to utf8
//     of the creation step; the gathered clauses are sent before a clause
//     that names something an earlier one drops or changes, or that drops
//     something an earlier one names, and before any statement of another
//     kind (tables and views dropped, views created);
//   - a merged statement that the server refuses is sent again statement
//     by statement.
// The "SQL ERROR" lines come out in the order of the statements, however
// the statements were sent.
#pragma once

#include "database/Database.h"

// CreateTables and the fixed statement list, planned as above, on db.
// siteName names the site in the progress the service manager and the
// console show: the statement reached (k of n) and the table being copied.
void RunPlannedUpgrade(DbHandle* db, const char* siteName);
