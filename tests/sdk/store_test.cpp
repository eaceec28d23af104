#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>

#include "sdk/sdk_test_support.h"

using namespace kestrel::strata_sdk;
using sdk_test::TempDir;
using sdk_test::WaitUntil;

namespace {

// What a link reports while it starts: lifecycle handlers and announcements, in order.
struct StartRecord {
    std::mutex m;
    std::vector<std::string> steps;  // "init", "connected", or "<context>:<path>"
    std::map<std::string, NodeInfo> restored;

    void add(const std::string& step) {
        std::lock_guard<std::mutex> lock(m);
        steps.push_back(step);
    }
    bool has(const std::string& step) {
        std::lock_guard<std::mutex> lock(m);
        return std::find(steps.begin(), steps.end(), step) != steps.end();
    }
};

std::unique_ptr<Link> start_link(const std::string& dir, StartRecord& record) {
    auto link = sdk_test::make_link(dir);
    link->set_on_initialized_handler([&record](const std::string& name, const std::error_code& ec) {
        record.add(ec ? "init-error:" + ec.message() : "init:" + name);
    });
    link->set_on_connected_handler([&record](const std::error_code&) { record.add("connected"); });
    link->responder()->subscribe_node_created(
        "^/.+", [&record](const NodeInfo& info, NodeCreationContext ctx, const std::error_code&) {
            record.add(std::to_string(static_cast<int>(ctx)) + ":" + info.path.to_string());
            std::lock_guard<std::mutex> lock(record.m);
            record.restored[info.path.to_string()] = info;
        });
    return link;
}

void create_and_wait(Responder& responder, const NodeBuilder& b) {
    std::promise<std::error_code> done;
    responder.create_node(
        b, [&](const std::vector<NodeInfo>&, const std::error_code& ec) { done.set_value(ec); });
    ASSERT_FALSE(done.get_future().get());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void run_sql(const std::string& file, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(NodeStoreTest, StoredNodesAndConfigsSurviveARestartAndAreAnnouncedBeforeConnected) {
    TempDir dir;
    {
        StartRecord first;
        auto link = start_link(dir.path(), first);
        ASSERT_TRUE(link->non_blocking_run());
        ASSERT_TRUE(WaitUntil([&] { return first.has("connected"); }));
        NodeBuilder b(NodePath("/"));
        Variant nested;
        nested["list"] = Variant(Variant::ArrayType{1, "two", 3.5});
        b.make_node("plc%2F1", "node")
            .display_name("plc/1")
            .serializable(2)
            .type(4)
            .config("$$$isit", "plc")
            .config("$port", static_cast<uint16_t>(44818))
            .config("$slot", 0)
            .config("$nested", nested)
            .config("$bytes", std::string("\xff\x01", 2))
            .value("not stored");
        b.make_child("EM Tags", "node").serializable(2).config("$Polling Interval", 0);
        b.make_node("Read Tags List", "node").serializable(2);  // sibling of EM Tags
        b.make_child("t1", "node").serializable(2).config("$Tag Name", "Program:Main.t1");
        b.end_child();
        b.make_node("coxnstate").type(4).value("NON-EXIST");  // not stored
        create_and_wait(*link->responder(), b);
        std::promise<std::error_code> updated;
        link->responder()->update_node(
            NodeUpdater(NodePath("/plc%2F1/EM Tags")).config("$Polling Interval", 250u),
            [&](const std::error_code& ec) { updated.set_value(ec); });
        ASSERT_FALSE(updated.get_future().get());
        link->stop();
        link->join();
    }
    StartRecord second;
    auto link = start_link(dir.path(), second);
    ASSERT_TRUE(link->non_blocking_run());
    ASSERT_TRUE(WaitUntil([&] { return second.has("connected"); }));
    std::lock_guard<std::mutex> lock(second.m);
    std::vector<std::string> expected = {"init:Tagbridge",
                                         "1:/plc%2F1",
                                         "1:/plc%2F1/EM Tags",
                                         "1:/plc%2F1/Read Tags List",
                                         "1:/plc%2F1/Read Tags List/t1",
                                         "connected"};
    EXPECT_EQ(second.steps, expected);
    const NodeInfo& plc = second.restored.at("/plc%2F1");
    EXPECT_EQ(plc.display_name, "plc/1");
    EXPECT_EQ(plc.kind, "node");
    EXPECT_EQ(plc.type, ValueType::String);
    EXPECT_TRUE(plc.value.is_null());  // values are not stored
    EXPECT_EQ(plc.configs.at("$$$isit").as_string(), "plc");
    EXPECT_TRUE(plc.configs.at("$port").is_uint());  // kinds come back as written
    EXPECT_EQ(plc.configs.at("$port").as_uint(), 44818u);
    EXPECT_TRUE(plc.configs.at("$slot").is_int());
    EXPECT_EQ(plc.configs.at("$nested").at("list")[2].as_double(), 3.5);
    EXPECT_EQ(plc.configs.at("$bytes").as_string(), std::string("\xff\x01", 2));
    EXPECT_EQ(second.restored.at("/plc%2F1/EM Tags").configs.at("$Polling Interval").as_uint(),
              250u);
    EXPECT_EQ(second.restored.at("/plc%2F1/Read Tags List/t1").configs.at("$Tag Name").as_string(),
              "Program:Main.t1");
    EXPECT_FALSE(link->responder()->node_exists(NodePath("/plc%2F1/coxnstate")));
}

TEST(NodeStoreTest, RemovedAndUnstoredNodesStayGoneAfterARestart) {
    TempDir dir;
    {
        auto link = sdk_test::make_link(dir.path());
        ASSERT_TRUE(link->non_blocking_run());
        NodeBuilder b(NodePath("/"));
        b.make_node("keep").serializable(2).make_child("gone").serializable(2);
        b.end_child().make_child("unstored").serializable(2);
        create_and_wait(*link->responder(), b);
        NodeBuilder again(NodePath("/keep"));
        again.make_node("unstored").serializable(0);  // explicitly no longer stored
        create_and_wait(*link->responder(), again);
        std::promise<std::error_code> removed;
        link->responder()->remove_node(NodePath("/keep/gone"),
                                       [&](const std::error_code& ec) { removed.set_value(ec); });
        ASSERT_FALSE(removed.get_future().get());
    }
    StartRecord record;
    auto link = start_link(dir.path(), record);
    ASSERT_TRUE(link->non_blocking_run());
    ASSERT_TRUE(WaitUntil([&] { return record.has("connected"); }));
    EXPECT_TRUE(link->responder()->node_exists(NodePath("/keep")));
    EXPECT_FALSE(link->responder()->node_exists(NodePath("/keep/gone")));
    EXPECT_FALSE(link->responder()->node_exists(NodePath("/keep/unstored")));
}

// A store file the link cannot use is refused with one line saying why, and left untouched.
TEST(NodeStoreTest, AStoreThatIsNotOursIsRefusedAndLeftUntouched) {
    const std::string junk(8192, 'j');
    const std::pair<std::function<void(const std::string&)>, std::string> cases[] = {
        {[&](const std::string& file) { std::ofstream(file, std::ios::binary) << junk; },
         "not a usable SQLite database"},
        {[](const std::string& file) {
             run_sql(file, "CREATE TABLE nodes(path TEXT); PRAGMA user_version = 7;");
         },
         "schema version 7, newer than the version 1"},
        {[](const std::string& file) { run_sql(file, "CREATE TABLE invoices(id INTEGER);"); },
         "not a node store"},
    };
    for (const auto& [make, why] : cases) {
        TempDir dir;
        const std::string file = dir.file("nodes.db");
        make(file);
        const std::string before = read_file(file);
        const auto parsed = sdk_test::parse({"--data-dir", dir.path(), "--listen", "127.0.0.1:0"});
        const std::string& reason = parsed.err;
        EXPECT_EQ(parsed.outcome, LinkOptions::ParseOutcome::Rejected);
        EXPECT_NE(reason.find(why), std::string::npos) << reason;
        EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;
        StartRecord record;
        auto link = start_link(dir.path(), record);
        EXPECT_FALSE(link->non_blocking_run()) << why;
        EXPECT_TRUE(WaitUntil([&] { return record.has("init-error:node store failure"); })) << why;
        EXPECT_EQ(read_file(file), before) << why;
    }
}

TEST(NodeStoreTest, ASecondLinkOnTheSameDirectoryIsRefused) {
    TempDir dir;
    auto first = sdk_test::make_link(dir.path());
    ASSERT_TRUE(first->non_blocking_run());
    auto second = sdk_test::make_link(dir.path());
    EXPECT_FALSE(second->non_blocking_run());
    const auto parsed = sdk_test::parse({"--data-dir", dir.path(), "--listen", "127.0.0.1:0"});
    const std::string& reason = parsed.err;
    EXPECT_EQ(parsed.outcome, LinkOptions::ParseOutcome::Rejected);
    EXPECT_NE(reason.find("is in use by another process"), std::string::npos) << reason;
}

// Starts the writer helper, lets it write until the store holds at least
// `min_rows` rows, kills it with SIGKILL and reaps it.
void run_writer_and_kill(const std::string& dir, int min_rows) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(STORE_WRITER_PATH, STORE_WRITER_PATH, dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string file = dir + "/nodes.db";
    auto rows = [&] {
        sqlite3* db = nullptr;
        int count = -1;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT count(*) FROM nodes", -1, &stmt, nullptr) ==
                    SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW) {
                count = sqlite3_column_int(stmt, 0);
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return count;
    };
    bool written = WaitUntil([&] { return rows() >= min_rows; }, std::chrono::seconds(60));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(written) << "the writer did not fill the store";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST(NodeStoreTest, KilledWhileWritingTheStoreRestartsWithAConsistentTree) {
    TempDir dir;
    int min_rows = 40;
    for (int round = 0; round < 3; ++round, min_rows += 200) {
        run_writer_and_kill(dir.path(), min_rows);

        StartRecord record;
        auto link = start_link(dir.path(), record);
        ASSERT_TRUE(link->non_blocking_run()) << "round " << round;
        ASSERT_TRUE(WaitUntil([&] { return record.has("connected"); }));
        std::lock_guard<std::mutex> lock(record.m);
        size_t parents = 0;
        for (const auto& [path, info] : record.restored) {
            NodePath p(path);
            if (p.size() != 1) {
                continue;
            }
            ++parents;
            // A parent and its child were written in one transaction: both or neither.
            ASSERT_TRUE(record.restored.count(path + "/c")) << path << " lost its child";
            EXPECT_EQ(record.restored.at(path + "/c").configs.at("$parent").as_string(), info.name);
            EXPECT_EQ("n" + std::to_string(info.configs.at("$i").as_uint()), info.name);
            EXPECT_EQ(info.configs.at("$payload").as_string().size(), 200u);
        }
        EXPECT_GE(parents * 2, static_cast<size_t>(min_rows)) << "round " << round;
        // Children never outnumber parents: no orphan survived.
        EXPECT_EQ(record.restored.size(), parents * 2);
        link->stop();
        link->join();
    }
}

}  // namespace
