#include "node_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "strata_sdk/logging.h"

namespace kestrel::strata_sdk::detail {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return rc_ == SQLITE_OK; }
    int prepare_code() const { return rc_; }
    void bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
    void bind_null(int index) { sqlite3_bind_null(stmt_, index); }
    int step() { return sqlite3_step(stmt_); }
    int64_t column_int(int index) { return sqlite3_column_int64(stmt_, index); }
    bool column_is_null(int index) { return sqlite3_column_type(stmt_, index) == SQLITE_NULL; }
    std::string column_text(int index) {
        auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
        return text ? std::string(text, sqlite3_column_bytes(stmt_, index)) : std::string();
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

const char* const kSchema =
    "CREATE TABLE nodes ("
    " path TEXT PRIMARY KEY NOT NULL,"
    " depth INTEGER NOT NULL,"
    " seq INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " display_name TEXT NOT NULL,"
    " kind TEXT NOT NULL,"
    " value_type INTEGER,"
    " configs TEXT NOT NULL);"
    "PRAGMA user_version = 1;";

std::string store_file(const std::string& data_dir) {
    return (fs::path(data_dir) / NodeStore::kFileName).string();
}

// Decides whether `db` holds a node store we can use. `fresh` is set for an empty
// database (no tables yet).
bool validate(sqlite3* db, const std::string& file, bool& fresh, std::string& reason) {
    Statement version(db, "PRAGMA user_version");
    int rc = version.ok() ? version.step() : version.prepare_code();
    if (rc != SQLITE_ROW) {
        reason =
            "node store " + file + " is not a usable SQLite database (" + sqlite3_errstr(rc) + ")";
        return false;
    }
    int64_t schema = version.column_int(0);
    if (schema > NodeStore::kSchemaVersion) {
        reason = "node store " + file + " has schema version " + std::to_string(schema) +
                 ", newer than the version " + std::to_string(NodeStore::kSchemaVersion) +
                 " this program reads";
        return false;
    }
    Statement tables(
        db, "SELECT count(*), sum(name = 'nodes') FROM sqlite_master WHERE type = 'table'");
    if (!tables.ok() || tables.step() != SQLITE_ROW) {
        reason = "node store " + file + " cannot be read (" + sqlite3_errmsg(db) + ")";
        return false;
    }
    int64_t table_count = tables.column_int(0);
    bool has_nodes = tables.column_int(1) > 0;
    fresh = schema == 0 && table_count == 0;
    if (!fresh && !(schema == NodeStore::kSchemaVersion && has_nodes)) {
        reason =
            "node store " + file + " is an SQLite database but not a node store of this program";
        return false;
    }
    return true;
}

// Kind code of a string that is not valid UTF-8, stored as hexadecimal bytes.
constexpr int kHexStringKind = 105;

bool is_valid_utf8(const std::string& text) {
    try {
        (void)json(text).dump();
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

std::string to_hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    }
    return out;
}

std::string from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument("odd hexadecimal length");
    }
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

json encode_value(const Variant& v) {
    json payload;
    switch (v.get_type()) {
        case Variant::Null:
            break;
        case Variant::Bool:
            payload = v.as_bool();
            break;
        case Variant::Int:
            payload = v.as_int();
            break;
        case Variant::UInt:
            payload = v.as_uint();
            break;
        case Variant::Double:
            payload = v.as_double();
            break;
        case Variant::String:
            if (!is_valid_utf8(v.as_string())) {
                // JSON holds text only; other bytes travel as hexadecimal.
                return json::array({kHexStringKind, to_hex(v.as_string())});
            }
            payload = v.as_string();
            break;
        case Variant::Map:
            payload = json::object();
            for (const auto& [key, member] : v.as_map()) {
                payload[key] = encode_value(member);
            }
            break;
        case Variant::Array:
            payload = json::array();
            for (const auto& item : v.as_array()) {
                payload.push_back(encode_value(item));
            }
            break;
    }
    return json::array({static_cast<int>(v.get_type()), payload});
}

// Throws nlohmann's exceptions on text that was not written by encode_value.
Variant decode_value(const json& j) {
    if (!j.is_array() || j.size() != 2) {
        throw std::invalid_argument("not a typed value");
    }
    const json& payload = j[1];
    switch (j[0].get<int>()) {
        case kHexStringKind:
            return Variant(from_hex(payload.get<std::string>()));
        case Variant::Null:
            return Variant();
        case Variant::Bool:
            return Variant(payload.get<bool>());
        case Variant::Int:
            return Variant(payload.get<int64_t>());
        case Variant::UInt:
            return Variant(payload.get<uint64_t>());
        case Variant::Double:
            return Variant(payload.get<double>());
        case Variant::String:
            return Variant(payload.get<std::string>());
        case Variant::Map: {
            Variant out = Variant::new_map();
            for (auto it = payload.begin(); it != payload.end(); ++it) {
                out.as_map()[it.key()] = decode_value(it.value());
            }
            return out;
        }
        case Variant::Array: {
            Variant out = Variant::new_array();
            for (const auto& item : payload) {
                out.as_array().push_back(decode_value(item));
            }
            return out;
        }
    }
    throw std::invalid_argument("unknown kind");
}

}  // namespace

NodeStore::~NodeStore() {
    if (db_) {
        sqlite3_close(db_);
    }
    if (lock_fd_ >= 0) {
        ::close(lock_fd_);
    }
}

bool NodeStore::check(const std::string& data_dir, std::string& reason) {
    std::string file = store_file(data_dir);
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        return true;  // created on first run
    }
    NodeStore probe;
    if (!probe.lock_directory(data_dir, reason)) {
        return false;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    bool fresh = false;
    bool ok = rc == SQLITE_OK && validate(db, file, fresh, reason);
    if (rc != SQLITE_OK) {
        reason = "node store " + file + " cannot be opened (" + sqlite3_errstr(rc) + ")";
    }
    sqlite3_close(db);
    return ok;
}

bool NodeStore::lock_directory(const std::string& data_dir, std::string& reason) {
    std::string lock_file = (fs::path(data_dir) / "nodes.lock").string();
    lock_fd_ = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) {
        reason = "cannot open " + lock_file + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        reason = "data directory " + data_dir + " is in use by another process";
        ::close(lock_fd_);
        lock_fd_ = -1;
        return false;
    }
    return true;
}

bool NodeStore::open(const std::string& data_dir, std::string& reason) {
    std::error_code ec;
    fs::create_directories(data_dir, ec);
    if (ec) {
        reason = "cannot create data directory " + data_dir + ": " + ec.message();
        return false;
    }
    if (!lock_directory(data_dir, reason)) {
        return false;
    }
    file_ = store_file(data_dir);
    int rc =
        sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        reason = "node store " + file_ + " cannot be opened (" + sqlite3_errstr(rc) + ")";
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    bool fresh = false;
    if (!validate(db_, file_, fresh, reason)) {
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    // WAL: a kill at any moment leaves the last committed transaction; NORMAL
    // sync is enough for that (only a power cut may lose the newest commits).
    if (!exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", reason) ||
        (fresh &&
         !(exec("BEGIN IMMEDIATE", reason) && exec(kSchema, reason) && exec("COMMIT", reason)))) {
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    Statement max_seq(db_, "SELECT coalesce(max(seq), 0) FROM nodes");
    if (max_seq.ok() && max_seq.step() == SQLITE_ROW) {
        next_seq_ = max_seq.column_int(0) + 1;
    }
    return true;
}

bool NodeStore::exec(const char* sql, std::string& reason) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        reason = "node store " + file_ + ": " + (message ? message : "unknown error");
        sqlite3_free(message);
        return false;
    }
    return true;
}

std::string NodeStore::error_text(const std::string& what) const {
    return "node store " + file_ + ": " + what + " failed (" + sqlite3_errmsg(db_) + ")";
}

bool NodeStore::begin(std::string& reason) {
    return exec("BEGIN IMMEDIATE", reason);
}
bool NodeStore::commit(std::string& reason) {
    return exec("COMMIT", reason);
}
void NodeStore::rollback() {
    std::string ignored;
    exec("ROLLBACK", ignored);
}

bool NodeStore::load_all(std::vector<StoredNode>& out, std::string& reason) {
    Statement rows(db_,
                   "SELECT path, name, display_name, kind, value_type, configs, seq FROM nodes "
                   "ORDER BY depth, seq");
    if (!rows.ok()) {
        reason = error_text("reading the nodes");
        return false;
    }
    int rc;
    while ((rc = rows.step()) == SQLITE_ROW) {
        StoredNode node;
        node.path = rows.column_text(0);
        node.name = rows.column_text(1);
        node.display_name = rows.column_text(2);
        node.kind = rows.column_text(3);
        if (!rows.column_is_null(4)) {
            node.type = static_cast<ValueType>(rows.column_int(4));
        }
        node.seq = rows.column_int(6);
        if (!decode_configs(rows.column_text(5), node.configs)) {
            // Kept in the file untouched; the node is left out of the tree.
            log_message_internal(LogLevel::error, "node store " + file_ + ": configs of " +
                                                      node.path + " are unreadable; node skipped");
            continue;
        }
        out.push_back(std::move(node));
    }
    if (rc != SQLITE_DONE) {
        reason = error_text("reading the nodes");
        return false;
    }
    return true;
}

bool NodeStore::put(StoredNode& node, std::string& reason) {
    if (node.seq == 0) {
        node.seq = next_seq_++;
    }
    Statement upsert(
        db_,
        "INSERT INTO nodes (path, depth, seq, name, display_name, kind, value_type, configs)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT(path) DO UPDATE SET"
        " display_name = excluded.display_name, kind = excluded.kind,"
        " value_type = excluded.value_type, configs = excluded.configs");
    if (!upsert.ok()) {
        reason = error_text("preparing a write");
        return false;
    }
    upsert.bind(1, node.path);
    upsert.bind(2, static_cast<int64_t>(std::count(node.path.begin(), node.path.end(), '/')));
    upsert.bind(3, node.seq);
    upsert.bind(4, node.name);
    upsert.bind(5, node.display_name);
    upsert.bind(6, node.kind);
    if (node.type) {
        upsert.bind(7, static_cast<int64_t>(*node.type));
    } else {
        upsert.bind_null(7);
    }
    upsert.bind(8, encode_configs(node.configs));
    if (upsert.step() != SQLITE_DONE) {
        reason = error_text("writing " + node.path);
        return false;
    }
    return true;
}

bool NodeStore::remove_subtree(const std::string& path, std::string& reason) {
    Statement remove(db_, "DELETE FROM nodes WHERE path = ?1 OR substr(path, 1, length(?2)) = ?2");
    remove.bind(1, path);
    remove.bind(2, path + "/");
    if (!remove.ok() || remove.step() != SQLITE_DONE) {
        reason = error_text("removing " + path);
        return false;
    }
    return true;
}

bool NodeStore::remove_one(const std::string& path, std::string& reason) {
    Statement remove(db_, "DELETE FROM nodes WHERE path = ?1");
    remove.bind(1, path);
    if (!remove.ok() || remove.step() != SQLITE_DONE) {
        reason = error_text("removing " + path);
        return false;
    }
    return true;
}

std::string NodeStore::encode_configs(const std::map<std::string, Variant>& configs) {
    json out = json::object();
    for (const auto& [key, value] : configs) {
        out[key] = encode_value(value);
    }
    return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool NodeStore::decode_configs(const std::string& text, std::map<std::string, Variant>& out) {
    try {
        json in = json::parse(text);
        if (!in.is_object()) {
            return false;
        }
        for (auto it = in.begin(); it != in.end(); ++it) {
            out[it.key()] = decode_value(it.value());
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace kestrel::strata_sdk::detail
