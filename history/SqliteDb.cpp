#include "history/SqliteDb.h"

#include <sqlite3.h>

SqliteDb::~SqliteDb() {
    close();
}

int SqliteDb::open(const std::string& path, int flags) {
    close();
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        error_ = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        close();
        return rc;
    }
    sqlite3_extended_result_codes(db_, 1);
    error_.clear();
    return rc;
}

void SqliteDb::close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

int SqliteDb::exec(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        noteError(rc);
    return rc;
}

std::optional<std::string> SqliteDb::queryText(const char* sql) {
    SqliteStatement statement(*this, sql);
    if (statement.prepared() != SQLITE_OK || statement.step() != SQLITE_ROW)
        return std::nullopt;
    return statement.text(0);
}

int SqliteDb::changes() const {
    return sqlite3_changes(db_);
}

std::int64_t SqliteDb::lastInsertRowid() const {
    return sqlite3_last_insert_rowid(db_);
}

void SqliteDb::noteError(int rc) {
    error_ = db_ != nullptr && sqlite3_errcode(db_) == rc ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
}

SqliteStatement::SqliteStatement(SqliteDb& db, const char* sql) : db_(db) {
    prepared_ = sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr);
    if (prepared_ != SQLITE_OK)
        db_.noteError(prepared_);
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(stmt_);
}

void SqliteStatement::bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
}

void SqliteStatement::bind(int index, std::string_view text) {
    sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void SqliteStatement::bindBlob(int index, std::string_view bytes) {
    sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void SqliteStatement::bind(int index, std::optional<std::int64_t> value) {
    if (value)
        bind(index, *value);
    else
        sqlite3_bind_null(stmt_, index);
}

int SqliteStatement::step() {
    if (stmt_ == nullptr)
        return prepared_ != SQLITE_OK ? prepared_ : SQLITE_MISUSE;
    const int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        db_.noteError(rc);
    return rc;
}

void SqliteStatement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

bool SqliteStatement::isNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t SqliteStatement::int64(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::optional<std::int64_t> SqliteStatement::optionalInt64(int column) const {
    if (isNull(column))
        return std::nullopt;
    return int64(column);
}

std::string SqliteStatement::text(int column) const {
    const auto* bytes = sqlite3_column_text(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return bytes == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

std::string SqliteStatement::blob(int column) const {
    const void* bytes = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return bytes == nullptr ? std::string()
                            : std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

bool isCorruption(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}
