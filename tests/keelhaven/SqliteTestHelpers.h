#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Looks at a database file through a connection of its own, as another process would: what
// it sees is what has been committed.
namespace khtest {

// Runs statements (separated by ";") on the file, creating it when missing.
void execSql(const std::filesystem::path& file, const std::string& sql);
// Rows of table, -1 when the table cannot be read.
int64_t countRows(const std::filesystem::path& file, const std::string& table);
// The first column of every row of query, as text.
std::vector<std::string> column(const std::filesystem::path& file, const std::string& query);
bool hasTable(const std::filesystem::path& file, const std::string& table);
unsigned modeOf(const std::filesystem::path& file);

}  // namespace khtest
