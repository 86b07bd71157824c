#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// One SQLite connection, closed with the object. Used by one thread at a time.
class SqliteDb {
public:
    SqliteDb() = default;
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // SQLite result code; on failure the connection is closed again and errorText() says why.
    int open(const std::string& path, int flags);
    void close();
    [[nodiscard]] bool isOpen() const { return db_ != nullptr; }
    [[nodiscard]] sqlite3* handle() const { return db_; }

    int exec(const char* sql);
    // The first column of the first row of `sql` as text, or none when the statement fails.
    [[nodiscard]] std::optional<std::string> queryText(const char* sql);
    [[nodiscard]] std::string errorText() const { return error_; }
    [[nodiscard]] int changes() const;
    [[nodiscard]] std::int64_t lastInsertRowid() const;
    // Remembers the connection's current message for errorText(), for a failed statement.
    void noteError(int rc);

private:
    sqlite3* db_ = nullptr;
    std::string error_;
};

// A prepared statement, finalized with the object.
class SqliteStatement {
public:
    SqliteStatement(SqliteDb& db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Result of preparing (SQLITE_OK when usable).
    [[nodiscard]] int prepared() const { return prepared_; }

    void bind(int index, std::int64_t value);
    void bind(int index, std::string_view text);
    void bindBlob(int index, std::string_view bytes);
    void bind(int index, std::optional<std::int64_t> value);
    // SQLITE_ROW, SQLITE_DONE or an error code; errors are noted on the connection.
    int step();
    // Resets for another run and clears the bindings.
    void reset();

    [[nodiscard]] bool isNull(int column) const;
    [[nodiscard]] std::int64_t int64(int column) const;
    [[nodiscard]] std::optional<std::int64_t> optionalInt64(int column) const;
    [[nodiscard]] std::string text(int column) const;
    [[nodiscard]] std::string blob(int column) const;

private:
    SqliteDb& db_;
    sqlite3_stmt* stmt_ = nullptr;
    int prepared_ = 0;
};

// A damaged file rather than a passing failure: such a file is moved aside.
[[nodiscard]] bool isCorruption(int rc);
