// Statements run as root on a database of the private test server, over its
// socket, for setting up and reading back what a test works on.
#pragma once

#include <string>
#include <vector>

using SqlRow = std::vector<std::string>;
using SqlRows = std::vector<SqlRow>;

// Runs statements in order as root on database db; rows of the last
// statement, SQL NULL reading "NULL". With utf8mb4 the connection first
// runs "set names utf8mb4"; otherwise it keeps the character set agreed on
// connecting. A failed connection or statement fails the calling test, and
// no statement after a failed one is run.
SqlRows RootQuery(const std::string& db, const std::vector<std::string>& statements, bool utf8mb4 = true);
SqlRows RootQuery(const std::string& db, const std::string& statement, bool utf8mb4 = true);

// The statements of a fixture text: each ends with ";" at the end of a line
// (the ";" is not part of it); empty lines and lines starting with "--" are
// left out.
std::vector<std::string> FixtureStatements(const std::string& text);
