#include "store/sqlite_common.h"

#include "platform/error_text.h"

std::string engineError(sqlite3* db) {
  std::string text = sqlite3_errmsg(db);
  if (int sys = sqlite3_system_errno(db); sys != 0) text += " (" + systemErrorText(sys) + ")";
  return text;
}

bool exec(sqlite3* db, const char* sql, std::string& error) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  error = engineError(db);
  return false;
}

bool queryInt(sqlite3* db, const char* sql, int64_t& value, std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  bool ok = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW;
  if (ok) value = sqlite3_column_int64(stmt, 0);
  if (!ok) error = engineError(db);
  sqlite3_finalize(stmt);
  return ok;
}

void bindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

std::string columnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, column)) : "";
}
