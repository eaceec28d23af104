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
#include "support/wait_until.h"

namespace {

namespace fs = std::filesystem;
using tb_test::ChildProcess;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tagbridge-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::vector<std::string> RunArgs(const TempDir& dir) {
    return {"--data-dir", dir.path() + "/data", "--listen", "127.0.0.1:0"};
}

TEST(TagbridgeProcess, LogsItsStartAndConnects) {
    TempDir dir;
    ChildProcess tagbridge(TAGBRIDGE_BINARY, RunArgs(dir));
    ASSERT_TRUE(tagbridge.started());
    ASSERT_TRUE(tagbridge.WaitForOutput("EipLink - EIP link connected!")) << tagbridge.Output();
    const std::string out = tagbridge.Output();
    EXPECT_NE(out.find(": INFO - main: Start Tagbridge"), std::string::npos) << out;
    EXPECT_NE(out.find(": INFO - main: Strata SDK 1.4.6 build: strata_sdk"), std::string::npos)
        << out;
    EXPECT_NE(out.find(": INFO - EipLink: EipLink constructor"), std::string::npos) << out;
    EXPECT_NE(out.find(": INFO - initialize: EIP link version : 2.0.19"), std::string::npos) << out;
    EXPECT_NE(out.find(": INFO - initialize: EipLink - EIP link initialized - Tagbridge"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(": INFO - connected: EipLink - EIP link connected!"), std::string::npos)
        << out;
    // Order: start, initialised, connected.
    EXPECT_LT(out.find("Start Tagbridge"), out.find("EIP link initialized"));
    EXPECT_LT(out.find("EIP link initialized"), out.find("EIP link connected!"));
}

TEST(TagbridgeProcess, OneSigintStopsItWithStatusZero) {
    TempDir dir;
    ChildProcess tagbridge(TAGBRIDGE_BINARY, RunArgs(dir));
    ASSERT_TRUE(tagbridge.WaitForOutput("EipLink - EIP link connected!")) << tagbridge.Output();
    tagbridge.Signal(SIGINT);
    const auto status = tagbridge.Wait();
    ASSERT_TRUE(status.has_value()) << "still running after SIGINT:\n" << tagbridge.Output();
    ASSERT_TRUE(WIFEXITED(*status)) << tagbridge.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    const std::string out = tagbridge.Output();
    EXPECT_NE(out.find(": INFO - sighandler: Exit Tagbridge"), std::string::npos) << out;
    EXPECT_NE(out.find(": INFO - main: exit success!!"), std::string::npos) << out;
    EXPECT_LT(out.find("Exit Tagbridge"), out.find("exit success!!"));
}

TEST(TagbridgeProcess, SigtermStopsItCleanlyToo) {
    TempDir dir;
    ChildProcess tagbridge(TAGBRIDGE_BINARY, RunArgs(dir));
    ASSERT_TRUE(tagbridge.WaitForOutput("EipLink - EIP link connected!")) << tagbridge.Output();
    tagbridge.Signal(SIGTERM);
    const auto status = tagbridge.Wait();
    ASSERT_TRUE(status.has_value()) << tagbridge.Output();
    ASSERT_TRUE(WIFEXITED(*status)) << tagbridge.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_NE(tagbridge.Output().find("exit success!!"), std::string::npos);
}

TEST(TagbridgeProcess, UnknownOptionEndsWithOneLineReasonAndStatusOne) {
    TempDir dir;
    ChildProcess tagbridge(TAGBRIDGE_BINARY, {"--data-dir", dir.path() + "/data", "--bogus"});
    const auto status = tagbridge.Wait();
    ASSERT_TRUE(status.has_value()) << tagbridge.Output();
    ASSERT_TRUE(WIFEXITED(*status)) << tagbridge.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    const std::string out = tagbridge.Output();
    // The start line, then exactly one line saying what was wrong; no link was started.
    const size_t start = out.find("Start Tagbridge");
    ASSERT_NE(start, std::string::npos) << out;
    const std::string rest = out.substr(out.find('\n', start) + 1);
    ASSERT_FALSE(rest.empty()) << out;
    EXPECT_EQ(rest.find('\n'), rest.size() - 1) << "expected one line, got:\n" << rest;
    EXPECT_NE(rest.find("bogus"), std::string::npos) << rest;
    EXPECT_EQ(out.find("EipLink constructor"), std::string::npos) << out;
}

TEST(TagbridgeProcess, BadOptionValuesAndAnOpenFrontWithoutTokenAreRefused) {
    TempDir dir;
    const std::vector<std::vector<std::string>> refused = {
        {"--listen", "127.0.0.1:99999"},
        {"--listen", "0.0.0.0:0"},
        {"--listen", "127.0.0.1:0", "--token-file", dir.path() + "/missing"},
    };
    for (auto args : refused) {
        args.insert(args.begin(), {"--data-dir", dir.path() + "/data"});
        ChildProcess tagbridge(TAGBRIDGE_BINARY, args);
        const auto status = tagbridge.Wait();
        ASSERT_TRUE(status.has_value() && WIFEXITED(*status)) << tagbridge.Output();
        EXPECT_EQ(WEXITSTATUS(*status), 1) << args[3];
        EXPECT_EQ(tagbridge.Output().find("EipLink constructor"), std::string::npos) << args[3];
    }
}

// Log rotation: the file is renamed away, SIGHUP makes the link write a new one under the name.
TEST(TagbridgeProcess, SighupReopensTheLogFile) {
    TempDir dir;
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

TEST(TagbridgeProcess, RestartKeepsTheDataDirectoryUsable) {
    TempDir dir;
    for (int run = 0; run < 2; ++run) {
        ChildProcess tagbridge(TAGBRIDGE_BINARY, RunArgs(dir));
        ASSERT_TRUE(tagbridge.WaitForOutput("EipLink - EIP link connected!"))
            << "run " << run << ":\n"
            << tagbridge.Output();
        tagbridge.Signal(SIGINT);
        const auto status = tagbridge.Wait();
        ASSERT_TRUE(status.has_value() && WIFEXITED(*status)) << tagbridge.Output();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << tagbridge.Output();
    }
}

}  // namespace
