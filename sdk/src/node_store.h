#pragma once
// The SQLite node store: <data-dir>/nodes.db, WAL mode, one transaction per change.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "strata_sdk/types.h"
#include "strata_sdk/variant.h"

struct sqlite3;

namespace kestrel::strata_sdk::detail {

// One stored node. `seq` orders siblings by creation.
struct StoredNode {
    std::string path;
    std::string name;
    std::string display_name;
    std::string kind;
    std::optional<ValueType> type;
    std::map<std::string, Variant> configs;
    int64_t seq = 0;
};

// Not thread-safe: the broker calls it under its tree lock only.
class NodeStore {
  public:
    static constexpr int kSchemaVersion = 1;
    static constexpr const char* kFileName = "nodes.db";

    NodeStore() = default;
    ~NodeStore();
    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;

    // Creates the directory and the database when missing. Refuses (false, one-line
    // reason) a file that is not an SQLite database, is not a node store, or has a
    // newer schema, and never writes to such a file.
    bool open(const std::string& data_dir, std::string& reason);
    // The same checks without creating or changing anything (option parsing).
    static bool check(const std::string& data_dir, std::string& reason);
    bool is_open() const noexcept { return db_ != nullptr; }

    // Every stored node, parents before children, siblings in creation order.
    bool load_all(std::vector<StoredNode>& out, std::string& reason);

    // One transaction around several writes; writes outside begin/commit run in
    // their own transaction.
    bool begin(std::string& reason);
    bool commit(std::string& reason);
    void rollback();

    // Inserts or replaces the node's row; a new row gets the next sequence number.
    // `node.seq` 0 takes the next number and is filled in.
    bool put(StoredNode& node, std::string& reason);
    // Deletes the node and every stored node below it.
    bool remove_subtree(const std::string& path, std::string& reason);
    // Deletes one row only.
    bool remove_one(const std::string& path, std::string& reason);

    // Typed encoding of configs: every value is [kind, payload], so that an
    // unsigned 5 comes back unsigned.
    static std::string encode_configs(const std::map<std::string, Variant>& configs);
    static bool decode_configs(const std::string& text, std::map<std::string, Variant>& out);

  private:
    bool exec(const char* sql, std::string& reason);
    std::string error_text(const std::string& what) const;

    bool lock_directory(const std::string& data_dir, std::string& reason);

    sqlite3* db_ = nullptr;
    int lock_fd_ = -1;  // flock on <data-dir>/nodes.lock: one process per store
    std::string file_;
    int64_t next_seq_ = 1;
};

}  // namespace kestrel::strata_sdk::detail
