// Table readers, row parsers and the TranscodeObject and DatabaseVersion
// writers. Each reader selects all columns of its table under the caller's
// condition and returns an owned copy of the first row.
#include "database/Readers.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/Log.h"

namespace {

// Where a reader reports: its unit (the table's name) and the lines of its
// "select failed" and "no result set" reports.
struct ReaderSite {
    const char* table;
    int32_t kind;
    int selectLine;
    int resultLine;
};

template <typename Record>
Record* ReadFirstRow(DbHandle* handle, const ReaderSite& site, const char* condition, va_list values)
{
    char* statement = static_cast<char*>(std::calloc(StatementBufferSize, 1));
    if (statement == nullptr) {
        LOG_ASSERT("b", site.table, site.selectLine);
        return nullptr;
    }
    int prefixLength = std::snprintf(statement, StatementBufferSize, "select * from %s where ", site.table);
    size_t room = StatementBufferSize - static_cast<size_t>(prefixLength);
    int conditionLength = std::vsnprintf(statement + prefixLength, room, condition, values);
    // A condition that does not fit is refused whole: a cut condition could
    // select other rows than the caller asked for.
    bool fits = conditionLength >= 0 && static_cast<size_t>(conditionLength) < room;
    if (!fits || !DbQuery(handle, statement)) {
        LOG_ASSERT("b", site.table, site.selectLine);
        std::free(statement);
        return nullptr;
    }
    DbResult* result = DbStoreResult(handle);
    if (result == nullptr) {
        LOG_ASSERT("result", site.table, site.resultLine);
        std::free(statement);
        return nullptr;
    }
    Record* copy = nullptr;
    char** row = DbRowCount(result) == 0 ? nullptr : DbFetchRow(result);
    if (row != nullptr) {
        Record parsed;
        ParseRecordRow(&parsed.head, site.kind, row, DbColumnCount(result));
        copy = reinterpret_cast<Record*>(CloneRecord(&parsed.head));
    }
    DbFreeResult(result);
    std::free(statement);
    return copy;
}

// text with every single quote doubled and every backslash escaped, so that
// it stands between the quotes of a statement as it is; null gives "".
// Release with free.
char* QuotedText(const char* text)
{
    if (text == nullptr)
        text = "";
    char* quoted = static_cast<char*>(std::malloc(2 * std::strlen(text) + 1));
    if (quoted == nullptr)
        return nullptr;
    char* out = quoted;
    for (const char* in = text; *in != 0; ++in) {
        if (*in == '\'' || *in == '\\')
            *out++ = *in;
        *out++ = *in;
    }
    *out = 0;
    return quoted;
}

}  // namespace

#define VTD_READER(table, selectLine, resultLine)                                                      \
    table##Record* Read##table(DbHandle* handle, const char* condition, ...)                          \
    {                                                                                                  \
        static constexpr ReaderSite site = {#table, Kind##table, selectLine, resultLine};              \
        va_list values;                                                                                \
        va_start(values, condition);                                                                   \
        table##Record* record = ReadFirstRow<table##Record>(handle, site, condition, values);          \
        va_end(values);                                                                                \
        return record;                                                                                 \
    }
VTD_READER(DatabaseVersion, 106, 108)
VTD_READER(Certificate, 233, 235)
VTD_READER(FolderImport, 179, 181)
VTD_READER(Object, 377, 379)
VTD_READER(VFile, 542, 544)
VTD_READER(TranscodeObject, 141, 143)
VTD_READER(Server, 396, 398)
VTD_READER(TranscodeTemplate, 231, 233)
#undef VTD_READER

#define VTD_ROW_PARSER_DEF(number, table)                                            \
    table##Record* Parse##table##Row(table##Record* record, char** row, size_t columns) \
    {                                                                                \
        return reinterpret_cast<table##Record*>(ParseRecordRow(&record->head, number, row, columns)); \
    }
VTD_RECORD_KINDS(VTD_ROW_PARSER_DEF)
#undef VTD_ROW_PARSER_DEF

uint32_t InsertTranscodeObject(DbHandle* handle, int id, int fileid, int templateid, int status,
                               const char* pathname, int views, int64_t size, int bitrate, const char* message)
{
    char* quotedPathname = QuotedText(pathname);
    char* quotedMessage = QuotedText(message);
    uint32_t newId = 0;
    if (quotedPathname != nullptr && quotedMessage != nullptr) {
        newId = DbInsert(handle, "insert into TranscodeObject values (%d, %d, %d, %d, '%s', %d, %lld, %d, '%s')", id,
                         fileid, templateid, status, quotedPathname, views, static_cast<long long>(size), bitrate,
                         quotedMessage);
    }
    std::free(quotedPathname);
    std::free(quotedMessage);
    return newId;
}

uint32_t InsertDatabaseVersion(DbHandle* handle, const char* version)
{
    char* quotedVersion = QuotedText(version);
    if (quotedVersion == nullptr)
        return 0;
    uint32_t result = DbInsert(handle, "insert into DatabaseVersion values ('%s', now(), now())", quotedVersion);
    std::free(quotedVersion);
    return result;
}
