// Runs the built tagbridge binary and checks its start-up, its answer to SIGINT and its refusal of
// a bad command line.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace {

namespace fs = std::filesystem;
using tb_test::ChildProcess;

std::vector<std::string> RunArgs(const tb_test::TempDir& dir) {
    return {"--data-dir", dir.path() + "/data", "--listen", "127.0.0.1:0"};
}

// Two runs on one data directory, stopped by SIGINT and then by SIGTERM: each logs its start in
// order, connects, and ends cleanly with status 0; the second finds the first one's store usable.
TEST(TagbridgeProcess, StartsInOrderAndEachStopSignalEndsItWithStatusZero) {
    tb_test::TempDir dir;
    for (int signal : {SIGINT, SIGTERM}) {
        ChildProcess tagbridge(TAGBRIDGE_BINARY, RunArgs(dir));
        ASSERT_TRUE(tagbridge.WaitForOutput("EipLink - EIP link connected!")) << tagbridge.Output();
        tagbridge.Signal(signal);
        const auto status = tagbridge.Wait();
        ASSERT_TRUE(status.has_value()) << "still running after " << signal << ":\n"
                                        << tagbridge.Output();
        ASSERT_TRUE(WIFEXITED(*status)) << tagbridge.Output();
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        const std::string out = tagbridge.Output();
        size_t last = 0;
        for (const char* line :
             {": INFO - main: Start Tagbridge", ": INFO - main: Strata SDK 1.4.6 build: strata_sdk",
              ": INFO - EipLink: EipLink constructor",
              ": INFO - initialize: EIP link version : 2.0.19",
              ": INFO - initialize: EipLink - EIP link initialized - Tagbridge",
              ": INFO - connected: EipLink - EIP link connected!",
              ": INFO - sighandler: Exit Tagbridge", ": INFO - main: exit success!!"}) {
            const size_t at = out.find(line, last);
            EXPECT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << out;
            last = at == std::string::npos ? last : at;
        }
    }
}

TEST(TagbridgeProcess, ABadCommandLineEndsWithOneLineReasonAndStatusOne) {
    tb_test::TempDir dir;
    // arguments after the data directory, what the reason names
    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{"--bogus"}, "bogus"},
        {{"--listen", "127.0.0.1:99999"}, "--listen"},
        {{"--listen", "0.0.0.0:0"}, "--insecure-no-token"},
        {{"--listen", "127.0.0.1:0", "--token-file", dir.path() + "/missing"}, "--token-file"}};
    for (auto [args, named] : bad) {
        args.insert(args.begin(), {"--data-dir", dir.path() + "/data"});
        ChildProcess tagbridge(TAGBRIDGE_BINARY, args);
        const auto status = tagbridge.Wait();
        ASSERT_TRUE(status.has_value() && WIFEXITED(*status)) << tagbridge.Output();
        EXPECT_EQ(WEXITSTATUS(*status), 1);
        const std::string out = tagbridge.Output();
        // The start line, then exactly one line saying what was wrong; no link was started.
        const size_t start = out.find("Start Tagbridge");
        ASSERT_NE(start, std::string::npos) << out;
        const std::string rest = out.substr(out.find('\n', start) + 1);
        ASSERT_FALSE(rest.empty()) << out;
        EXPECT_EQ(rest.find('\n'), rest.size() - 1) << "expected one line, got:\n" << rest;
        EXPECT_NE(rest.find(named), std::string::npos) << rest;
        EXPECT_EQ(out.find("EipLink constructor"), std::string::npos) << out;
    }
}

// Log rotation: the file is renamed away, SIGHUP makes the link write a new one under the name.
TEST(TagbridgeProcess, SighupReopensTheLogFile) {
    tb_test::TempDir dir;
    const std::string log = dir.path() + "/tagbridge.log";
    auto args = RunArgs(dir);
    args.insert(args.end(), {"--log-file", log});
    ChildProcess tagbridge(TAGBRIDGE_BINARY, args);
    const auto file_has = [](const std::string& path, const std::string& text) {
        std::ifstream in(path);
        const std::string content((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        return content.find(text) != std::string::npos;
    };
    ASSERT_TRUE(tb_test::WaitUntil([&] { return file_has(log, "EIP link connected!"); }))
        << tagbridge.Output();
    fs::rename(log, log + ".1");
    tagbridge.Signal(SIGHUP);
    ASSERT_TRUE(tb_test::WaitUntil([&] { return file_has(log, "Reopened the log file"); }));
    tagbridge.Signal(SIGINT);
    const auto status = tagbridge.Wait();
    ASSERT_TRUE(status.has_value() && WIFEXITED(*status)) << tagbridge.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(file_has(log, "Exit Tagbridge"));
    EXPECT_FALSE(file_has(log + ".1", "Exit Tagbridge"));
}

TEST(TagbridgeProcess, HelpAndVersionExitWithStatusZeroWithoutStarting) {
    for (const char* option : {"--help", "--version"}) {
        ChildProcess tagbridge(TAGBRIDGE_BINARY, {option});
        const auto status = tagbridge.Wait();
        ASSERT_TRUE(status.has_value() && WIFEXITED(*status)) << option << tagbridge.Output();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << option;
        EXPECT_EQ(tagbridge.Output().find("EipLink constructor"), std::string::npos) << option;
    }
}

}  // namespace
