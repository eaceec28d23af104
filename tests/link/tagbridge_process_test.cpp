// Runs the built tagbridge binary: its exit status and one-line reason for a bad command line,
// help and version without starting, and SIGHUP reopening the log file before SIGTERM ends it.
// (A clean stop on SIGINT with a usable store: the HTTP and MQTT end-to-end suites.)

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace {

using tb_test::ChildProcess;

// A bad command line ends with status 1 after the start line and exactly one line saying what
// was wrong (which ones are bad: LinkOptionsTest); help and version end with status 0. None of
// them starts the link.
TEST(TagbridgeProcess, CommandLinesThatDoNotRunEndWithTheirStatusAndStartNothing) {
    tb_test::TempDir dir;
    const std::string data = dir.path() + "/data";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string named;  // in the reason line (status 1)
    } cases[] = {
        {{"--data-dir", data, "--bogus"}, 1, "bogus"},
        {{"--help"}, 0, ""},
        {{"--version"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        ChildProcess tagbridge(TAGBRIDGE_BINARY, c.args);
        const auto status = tagbridge.Wait();
        ASSERT_TRUE(status.has_value() && WIFEXITED(*status)) << tagbridge.Output();
        EXPECT_EQ(WEXITSTATUS(*status), c.status);
        const std::string out = tagbridge.Output();
        EXPECT_EQ(out.find("EipLink constructor"), std::string::npos) << out;
        if (c.status == 1) {
            const size_t start = out.find("Start Tagbridge");
            ASSERT_NE(start, std::string::npos) << out;
            const std::string rest = out.substr(out.find('\n', start) + 1);
            ASSERT_FALSE(rest.empty()) << out;
            EXPECT_EQ(rest.find('\n'), rest.size() - 1) << "expected one line, got:\n" << rest;
            EXPECT_NE(rest.find(c.named), std::string::npos) << rest;
        }
    }
}

// Log rotation: the file is renamed away, SIGHUP makes the link write a new one under the name;
// SIGTERM then ends it with status 0.
TEST(TagbridgeProcess, SighupReopensTheLogFileAndSigtermEndsWithStatusZero) {
    tb_test::TempDir dir;
    const std::string log = dir.path() + "/tagbridge.log";
    ChildProcess tagbridge(TAGBRIDGE_BINARY, {"--data-dir", dir.path() + "/data", "--listen",
                                              "127.0.0.1:0", "--log-file", log});
    const auto file_has = [](const std::string& path, const std::string& text) {
        std::ifstream in(path);
        const std::string content((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        return content.find(text) != std::string::npos;
    };
    ASSERT_TRUE(tb_test::WaitUntil([&] { return file_has(log, "EIP link connected!"); }))
        << tagbridge.Output();
    std::filesystem::rename(log, log + ".1");
    tagbridge.Signal(SIGHUP);
    ASSERT_TRUE(tb_test::WaitUntil([&] { return file_has(log, "Reopened the log file"); }));
    tagbridge.Signal(SIGTERM);
    const auto status = tagbridge.Wait();
    ASSERT_TRUE(status.has_value() && WIFEXITED(*status)) << tagbridge.Output();
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(file_has(log, "Exit Tagbridge"));
    EXPECT_FALSE(file_has(log + ".1", "Exit Tagbridge"));
}

}  // namespace
