#include "schema/UpgradePlan.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/Service.h"
#include "schema/ConvertDatabase.h"
#include "schema/UpgradeModel.h"

namespace {

// The "SQL ERROR" lines of each statement, printed in statement order: a
// statement's lines wait until every statement before it has been sent.
class OrderedReport {
public:
    explicit OrderedReport(size_t count) : lines_(count), sent_(count, false) {}
    void Sent(size_t slot, std::vector<std::string> lines)
    {
        lines_[slot] = std::move(lines);
        sent_[slot] = true;
        for (; next_ < sent_.size() && sent_[next_]; next_++) {
            for (const std::string& line : lines_[next_])
                PrintMessageAt(PriorityWarning, "%s", line.c_str());
            lines_[next_].clear();
        }
    }

private:
    std::vector<std::vector<std::string>> lines_;
    std::vector<bool> sent_;
    size_t next_ = 0;
};

// A statement waiting in a table's merged ALTER TABLE.
struct Pending {
    const char* statement;  // the statement as it runs alone
    std::string clause;     // its clause in the merged statement
    size_t slot;            // its place in the report
};

// What has gathered for one table since it was last sent.
struct Batch {
    std::string tableText;  // the name as the first statement wrote it
    std::vector<Pending> items;
    std::set<std::string> named;    // columns the gathered clauses name
    std::set<std::string> removed;  // columns they drop or change
    std::set<std::string> keys;     // keys they add
};

// A clause that must not join batch: it names a column that the batch
// drops or changes, or drops or changes a column the batch names.
bool DependsOn(const Batch& batch, const UpgradeClause& clause)
{
    for (const std::string& name : NamedColumns(clause))
        if (batch.removed.count(name) != 0)
            return true;
    for (const std::string& name : RemovedColumns(clause))
        if (batch.named.count(name) != 0)
            return true;
    return !clause.index.empty() && batch.keys.count(clause.index) != 0;
}

// Whether a refusal of clause could read differently before the batch runs.
bool Touches(const Batch& batch, const UpgradeClause& clause)
{
    for (const std::string& name : NamedColumns(clause))
        if (batch.named.count(name) != 0 || batch.removed.count(name) != 0)
            return true;
    return !clause.index.empty() && batch.keys.count(clause.index) != 0;
}

class Planner {
public:
    Planner(DbHandle* db, const char* site)
        : db_(db), site_(site != nullptr ? site : ""), report_(CreateStatementCount + UpgradeStatementCount)
    {
        for (const char* statement : UpgradeStatements)
            clauses_.push_back(ParseUpgradeStatement(statement));
    }

    void Run()
    {
        std::set<std::string> altered;
        for (const UpgradeClause& clause : clauses_)
            if (clause.kind != ClauseKind::Other)
                altered.insert(clause.table);
        Progress("creating the tables", "");
        CreateMissingTables();
        planned_ = ReadLayoutModel(db_, altered, &model_);
        ConvertTables(altered);
        for (size_t k = 0; k < UpgradeStatementCount; k++)
            Step(k);
        SendAll(UpgradeStatementCount);
    }

private:
    void Progress(const std::string& step, const std::string& table)
    {
        std::string text = "Upgrading the database of site " + site_ + ": " + step;
        if (!table.empty())
            text += ", copying table " + table;
        ServiceSetProgress(text);
        if (!table.empty())
            PrintMessage("%s\n", text.c_str());
    }
    std::string StepText(size_t k) const
    {
        return "statement " + std::to_string(k + 1) + " of " + std::to_string(UpgradeStatementCount);
    }

    bool SendAlone(const char* statement, size_t slot)
    {
        std::vector<std::string> lines;
        bool ok = DbQueryCollect(db_, statement, &lines);
        report_.Sent(slot, std::move(lines));
        return ok;
    }

    void CreateMissingTables()
    {
        std::unique_ptr<char[]> statement(new char[StatementBufferSize]);
        const TableDef* tables = SiteTables();
        for (size_t i = 0; i < SiteTableCount; i++) {
            if (FormatCreateStatement(&tables[i], statement.get(), StatementBufferSize))
                SendAlone(statement.get(), 2 * i);
            else
                report_.Sent(2 * i, {});
        }
    }

    // Each table's conversion to utf8 copies the table anyway: for a table
    // the list alters it opens the table's batch, the others are converted
    // at once.
    void ConvertTables(const std::set<std::string>& altered)
    {
        const TableDef* tables = SiteTables();
        for (size_t i = 0; i < SiteTableCount; i++) {
            size_t slot = 2 * i + 1;
            char statement[512];
            if (!FormatConvertStatement(&tables[i], statement, sizeof statement)) {
                report_.Sent(slot, {});
                continue;
            }
            std::string table = Lower(tables[i].name);
            if (!planned_ || altered.count(table) == 0 || !model_[table].exists) {
                Progress("converting the tables", tables[i].name);
                SendAlone(statement, slot);
                continue;
            }
            converts_.push_back(statement);
            Batch& batch = batches_[table];
            batch.tableText = tables[i].name;
            batch.items.push_back({nullptr, "convert to character set utf8", slot});
            convertIndex_[slot] = converts_.size() - 1;
        }
    }

    static std::string Lower(std::string text)
    {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return text;
    }

    const char* StatementOf(const Pending& item) const
    {
        return item.statement != nullptr ? item.statement : converts_[convertIndex_.at(item.slot)].c_str();
    }

    void Step(size_t k)
    {
        const UpgradeClause& clause = clauses_[k];
        const char* statement = UpgradeStatements[k];
        size_t slot = CreateStatementCount + k;
        if (clause.kind == ClauseKind::Other || !planned_) {
            // Views and dropped tables read or replace whole tables: what
            // gathered is sent first.
            SendAll(k);
            Progress(StepText(k), "");
            SendAlone(statement, slot);
            return;
        }
        TableLayout& table = model_[clause.table];
        Batch& batch = batches_[clause.table];
        if (WouldRefuse(table, clause)) {
            if (Touches(batch, clause))
                Send(clause.table, k);
            Progress(StepText(k), "");
            if (SendAlone(statement, slot))
                Reload(clause.table);  // taken after all: read the table again
            return;
        }
        if (DependsOn(batch, clause))
            Send(clause.table, k);
        if (batch.items.empty())
            batch.tableText = clause.tableText;
        batch.items.push_back({statement, clause.clause, slot});
        for (const std::string& name : NamedColumns(clause))
            batch.named.insert(name);
        for (const std::string& name : RemovedColumns(clause))
            batch.removed.insert(name);
        if (!clause.index.empty())
            batch.keys.insert(clause.index);
        ApplyClause(&table, clause);
    }

    // Sends every table's batch, in the order of their first statements.
    void SendAll(size_t k)
    {
        std::vector<std::pair<size_t, std::string>> order;
        for (const auto& [name, batch] : batches_)
            if (!batch.items.empty())
                order.push_back({batch.items.front().slot, name});
        std::sort(order.begin(), order.end());
        for (const auto& entry : order)
            Send(entry.second, k);
    }

    // Sends what gathered for table as one statement; when the server
    // refuses it, each statement is sent alone in order.
    void Send(const std::string& name, size_t k)
    {
        Batch& batch = batches_[name];
        if (batch.items.empty())
            return;
        Progress(StepText(std::min(k, UpgradeStatementCount - 1)), batch.tableText);
        bool ok;
        if (batch.items.size() == 1) {
            ok = SendAlone(StatementOf(batch.items[0]), batch.items[0].slot);
        } else {
            std::string merged = "alter table " + batch.tableText;
            for (size_t i = 0; i < batch.items.size(); i++)
                merged += (i == 0 ? " " : ", ") + batch.items[i].clause;
            std::vector<std::string> ignored;
            ok = DbQueryCollect(db_, merged.c_str(), &ignored);
            if (ok) {
                for (const Pending& item : batch.items)
                    report_.Sent(item.slot, {});
            } else {
                for (const Pending& item : batch.items)
                    SendAlone(StatementOf(item), item.slot);
            }
        }
        batch = Batch{};
        if (!ok)
            Reload(name);
    }

    // The model went wrong for table: read it again; without it the rest
    // of the list runs statement by statement.
    void Reload(const std::string& name)
    {
        planned_ = planned_ && ReadLayoutModel(db_, {name}, &model_);
    }

    DbHandle* db_;
    std::string site_;
    OrderedReport report_;
    std::vector<UpgradeClause> clauses_;
    LayoutModel model_;
    bool planned_ = false;
    std::map<std::string, Batch> batches_;
    std::vector<std::string> converts_;
    std::map<size_t, size_t> convertIndex_;
};

}  // namespace

void RunPlannedUpgrade(DbHandle* db, const char* siteName)
{
    Planner planner(db, siteName);
    planner.Run();
}
