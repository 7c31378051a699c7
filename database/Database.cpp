#include "database/Database.h"

std::atomic<bool> ReportSqlErrors{true};
