// Small helpers over an open SQLite connection, shared by the collector's
// flow store and the monitor's history file. Any thread that owns the
// connection.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

// The engine's message for the last failure on `db`, with the system's
// error text when it gave one.
std::string engineError(sqlite3* db);

// Runs `sql` (one or more statements); false with the reason in `error`.
bool exec(sqlite3* db, const char* sql, std::string& error);

// The one integer a statement such as a PRAGMA answers.
bool queryInt(sqlite3* db, const char* sql, int64_t& value, std::string& error);

// Binds `text` without copying it: it must outlive the statement's step.
void bindText(sqlite3_stmt* stmt, int index, const std::string& text);

// A text column; "" for NULL.
std::string columnText(sqlite3_stmt* stmt, int column);
