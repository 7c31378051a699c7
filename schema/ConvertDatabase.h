// Brings a site database to the layout of this release: the tables, the
// fixed list of schema statements and the views, then the data steps.
//
// The unit is split in three source files so that each piece links on its
// own:
//   ConvertDatabaseSchema.cpp  CreateTables, RunUpgradeStatements,
//                              UpgradeSchema and the statement formatters
//                              (needs only the database layer; the planned
//                              upgrade is UpgradePlan.cpp with its layout
//                              model UpgradeModel.cpp);
//   UpgradeStatements.cpp      the fixed statement list as data;
//   ConvertDatabase.cpp        UpgradeDatabase, which adds the data steps
//                              (MigrateSiteData, ConvertDatabaseData.cpp).
// Code that only needs the layout (tests, benchmarks) calls UpgradeSchema
// and does not pull in the data steps.
#pragma once

#include <cstddef>

#include "config/Config.h"
#include "database/Database.h"
#include "database/Tables.h"

// Two statements per table: creation, then conversion to utf8.
constexpr size_t CreateStatementCount = 2 * SiteTableCount;
constexpr size_t UpgradeStatementCount = 256;

// The schema statements that follow CreateTables, in the order they run.
extern const char* const UpgradeStatements[UpgradeStatementCount];

// Writes the creation statement of table into output, e.g.
// "create table if not exists Favorite( userid int, id int, PRIMARY KEY(userid,id) ) ENGINE=MyISAM".
// false (output emptied) when it does not fit outputSize bytes.
bool FormatCreateStatement(const TableDef* table, char* output, size_t outputSize);
// "alter table <name> convert to character set utf8"; false when it does not fit.
bool FormatConvertStatement(const TableDef* table, char* output, size_t outputSize);

// Creates every missing table in creation order, each followed by its
// conversion to utf8. Every statement runs; refusals are reported by the
// statement layer and passed over.
void CreateTables(DbHandle* db);
// The fixed statement list, each statement run once in order, whatever the
// result of the one before.
void RunUpgradeStatements(DbHandle* db);
// CreateTables followed by RunUpgradeStatements, each statement sent alone.
void UpgradeSchemaStepwise(DbHandle* db);
// The whole layout change, with the outcome of UpgradeSchemaStepwise but each
// table copied as few times as the list allows (UpgradePlan.h). siteName
// names the site in the progress shown.
void UpgradeSchema(DbHandle* db, const char* siteName = "");

// Data migrations, version stamp and runtime clean-up that follow the
// layout change (defined in ConvertDatabaseData.cpp).
void MigrateSiteData(const SiteConfig* site, DbHandle* db);

// UpgradeSchema, then MigrateSiteData for site.
void UpgradeDatabase(const SiteConfig* site, DbHandle* db);
