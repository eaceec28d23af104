#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <tuple>

#include "sdk/sdk_test_support.h"

using namespace kestrel::strata_sdk;
using sdk_test::parse;
using sdk_test::Parsed;
using sdk_test::TempDir;

namespace {

void expect_rejected_in_one_line(const Parsed& p, const std::string& fragment) {
    EXPECT_EQ(p.outcome, LinkOptions::ParseOutcome::Rejected);
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
    EXPECT_EQ(p.err.rfind("Tagbridge: ", 0), 0u) << p.err;
    EXPECT_NE(p.err.find(fragment), std::string::npos) << p.err;
}

TEST(LinkOptionsTest, EveryOptionIsTaken) {
    TempDir dir;
    Parsed p = parse({"--data-dir", dir.path(), "--listen", "127.0.0.1:0", "--log", "trace",
                      "--debug", "3", "--log-file", dir.file("log.txt"), "--token", "s3cret",
                      "--max-event-clients", "5", "--history-points", "0"});
    ASSERT_EQ(p.outcome, LinkOptions::ParseOutcome::Run) << p.err;
    const LinkOptions& o = p.options;
    EXPECT_EQ(std::make_tuple(o.data_dir(), o.http_enabled(), o.listen_port(), o.log_level(),
                              o.debug_level(), o.log_file(), o.token(), o.max_event_clients(),
                              o.history_points()),
              std::make_tuple(dir.path(), true, 0, LogLevel::trace, 3, dir.file("log.txt"),
                              "s3cret", 5u, 0u));
}

TEST(LinkOptionsTest, BadInputIsRejectedWithOneLineSayingWhy) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--frobnicate"}, "--frobnicate"},
        {{"stray"}, "stray"},
        {{"--log", "loud"}, "--log"},
        {{"--debug", "4"}, "--debug"},
        {{"--debug", "x"}, "--debug"},
        {{"--listen", "nohost"}, "--listen"},
        {{"--listen", "127.0.0.1:70000"}, "--listen"},
        {{"--data-dir"}, "--data-dir"},
        {{"--data-dir", ""}, "--data-dir"},
        {{"--allowed-host", "a b"}, "--allowed-host"},
        {{"--max-event-clients", "0"}, "--max-event-clients"},
        {{"--history-points", "-1"}, "--history-points"},
        {{"--history-points", "1000001"}, "--history-points"},
    };
    for (const auto& [args, named] : cases) {
        expect_rejected_in_one_line(parse(args), named);
    }
}

TEST(LinkOptionsTest, HelpAndVersionAskToExitSuccessfully) {
    Parsed help = parse({"--help"});
    EXPECT_EQ(help.outcome, LinkOptions::ParseOutcome::ExitSuccess);
    for (const char* option : {"--data-dir", "--listen", "--log", "--debug", "--log-file",
                               "--token", "--config", "--version"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    Parsed version = parse({"--version"});
    EXPECT_EQ(version.outcome, LinkOptions::ParseOutcome::ExitSuccess);
    EXPECT_NE(version.out.find("strata_sdk 1.4.6"), std::string::npos) << version.out;
}

TEST(LinkOptionsTest, ConfigFileGivesValuesAndTheCommandLineWins) {
    TempDir dir;
    std::ofstream(dir.file("cfg.json")) << R"({"data-dir": ")" << dir.path()
                                        << R"(", "debug": 2, "token": "fromfile", "log": "warn"})";
    Parsed p =
        parse({"--config", dir.file("cfg.json"), "--log", "error", "--listen", "127.0.0.1:0"});
    ASSERT_EQ(p.outcome, LinkOptions::ParseOutcome::Run) << p.err;
    EXPECT_EQ(std::make_tuple(p.options.data_dir(), p.options.debug_level(), p.options.token(),
                              p.options.log_level()),
              std::make_tuple(dir.path(), 2, "fromfile", LogLevel::error));

    std::ofstream(dir.file("unknown.json")) << R"({"colour": "red"})";
    expect_rejected_in_one_line(parse({"--config", dir.file("unknown.json")}),
                                "unknown key \"colour\"");
    std::ofstream(dir.file("bad.json")) << "{ not json";
    expect_rejected_in_one_line(parse({"--config", dir.file("bad.json")}), "invalid JSON");
    std::ofstream(dir.file("array.json")) << "[1]";
    expect_rejected_in_one_line(parse({"--config", dir.file("array.json")}),
                                "expected a JSON object");
    expect_rejected_in_one_line(parse({"--config", dir.file("missing.json")}), "cannot read");
}

// A front reachable from other machines needs a token, or the operator's explicit consent.
TEST(LinkOptionsTest, NonLoopbackListenNeedsATokenUnlessInsecureIsAsked) {
    TempDir dir;
    std::ofstream(dir.file("token")) << "  from-file \n";
    std::ofstream(dir.file("empty")) << "\n";
    const std::vector<std::string> base = {"--data-dir", dir.path(), "--listen", "0.0.0.0:0"};
    const auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), base.begin(), base.end());
        return parse(extra);
    };
    expect_rejected_in_one_line(with({}), "refusing to start: --listen 0.0.0.0:0");
    expect_rejected_in_one_line(with({"--token-file", dir.file("missing")}), "cannot read");
    expect_rejected_in_one_line(with({"--token-file", dir.file("empty")}), "one line");
    expect_rejected_in_one_line(with({"--token", "a", "--token-file", dir.file("token")}),
                                "not both");
    EXPECT_EQ(with({"--token", "t"}).outcome, LinkOptions::ParseOutcome::Run);
    Parsed insecure = with({"--insecure-no-token"});
    ASSERT_EQ(insecure.outcome, LinkOptions::ParseOutcome::Run) << insecure.err;
    EXPECT_TRUE(insecure.options.insecure_no_token());
    Parsed from_file = with({"--token-file", dir.file("token")});
    ASSERT_EQ(from_file.outcome, LinkOptions::ParseOutcome::Run) << from_file.err;
    EXPECT_EQ(from_file.options.token(), "from-file");
    for (const char* loopback : {"127.0.0.1:0", "127.1.2.3:0", "[::1]:0", "localhost:0"}) {
        Parsed p = parse({"--data-dir", dir.path(), "--listen", loopback});
        EXPECT_EQ(p.outcome, LinkOptions::ParseOutcome::Run) << loopback << ": " << p.err;
    }
}

TEST(LinkOptionsTest, AllowedHostsRepeatAndTlsFilesGoTogether) {
    TempDir dir;
    std::ofstream(dir.file("cert.pem")) << "x";
    std::ofstream(dir.file("cfg.json")) << R"({"allowed-host": ["a.example", "b.example:9"],
                                              "insecure-no-token": true, "listen": "0.0.0.0:0"})";
    Parsed file = parse({"--data-dir", dir.path(), "--config", dir.file("cfg.json")});
    ASSERT_EQ(file.outcome, LinkOptions::ParseOutcome::Run) << file.err;
    EXPECT_EQ(file.options.allowed_hosts(), (std::vector<std::string>{"a.example", "b.example:9"}));
    EXPECT_TRUE(file.options.insecure_no_token());
    Parsed line = parse({"--data-dir", dir.path(), "--listen", "127.0.0.1:0", "--allowed-host",
                         "c.example", "--allowed-host", "d.example"});
    ASSERT_EQ(line.outcome, LinkOptions::ParseOutcome::Run) << line.err;
    EXPECT_EQ(line.options.allowed_hosts(), (std::vector<std::string>{"c.example", "d.example"}));
    expect_rejected_in_one_line(parse({"--tls-cert", dir.file("cert.pem")}), "go together");
    expect_rejected_in_one_line(parse({"--tls-cert", dir.file("none.pem")}), "cannot read");
}

// The address of a running link's front.
TEST(LinkOptionsTest, AListenAddressInUseIsRefused) {
    LinkOptions options("Tagbridge");
    options.set_data_dir("").set_listen("127.0.0.1", 0);
    Link busy(std::move(options), LinkType::Responder, "1.4.6");
    ASSERT_TRUE(busy.non_blocking_run());
    ASSERT_GT(busy.http_port(), 0);
    TempDir dir;
    std::string listen = "127.0.0.1:" + std::to_string(busy.http_port());
    expect_rejected_in_one_line(parse({"--data-dir", dir.path(), "--listen", listen}),
                                "cannot listen on");
    busy.stop();
    busy.join();
}

// Captures log lines for one test and restores the defaults afterwards.
class LoggingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_log_sink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m);
            lines.push_back(line);
        });
    }
    void TearDown() override {
        set_log_sink({});
        set_log_level(LogLevel::info);
        set_debug_level(0);
    }
    std::mutex m;
    std::vector<std::string> lines;
};

TEST_F(LoggingTest, LinesFollowTheLogAndDebugLevels) {
    set_log_level(LogLevel::warn);
    EXPECT_TRUE(will_log(LogLevel::fatal));
    EXPECT_TRUE(will_log(LogLevel::warn));
    EXPECT_FALSE(will_log(LogLevel::info));
    log_message_internal(LogLevel::info, "hidden");
    log_message_internal(LogLevel::error, "(10006): error:10006 - shown");
    set_debug_level(-1);  // "none": not even level 0
    EXPECT_FALSE(will_debug_log(0));
    set_debug_level(0);
    EXPECT_TRUE(will_debug_log(DebugLevel::info));
    EXPECT_FALSE(will_debug_log(1));
    set_debug_level(3);
    EXPECT_TRUE(will_debug_log(3));
    EXPECT_FALSE(will_debug_log(-1));
    log_debug_message(": INFO - main: Start Tagbridge");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[error] (10006): error:10006 - shown"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" link: INFO - main: Start Tagbridge"), std::string::npos) << lines[1];
    // "YYYY-MM-DD HH:MM:SS.mmm" first
    EXPECT_EQ(lines[1][4], '-');
    EXPECT_EQ(lines[1][19], '.');
}

TEST_F(LoggingTest, LinkAppliesItsOptionsAndWritesToTheLogFile) {
    set_log_sink({});
    TempDir dir;
    LinkOptions options("Tagbridge");
    options.set_data_dir("")
        .set_log_level(LogLevel::debug)
        .set_debug_level(2)
        .set_log_file(dir.file("t.log"));
    {
        Link link(std::move(options), 2, "1.4.6");
        EXPECT_EQ(log_level(), LogLevel::debug);
        EXPECT_EQ(debug_level(), 2);
        log_message_internal(LogLevel::debug, "to the file");
    }
    ASSERT_TRUE(set_log_file(""));
    std::ifstream in(dir.file("t.log"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("[debug] to the file"), std::string::npos) << text.str();
}

TEST_F(LoggingTest, AFrontWithoutTokenByConsentWarnsAtEveryStart) {
    TempDir dir;
    for (int start = 0; start < 2; ++start) {
        Parsed p =
            parse({"--data-dir", dir.path(), "--listen", "127.0.0.1:0", "--insecure-no-token"});
        ASSERT_EQ(p.outcome, LinkOptions::ParseOutcome::Run) << p.err;
        Link link(std::move(p.options), LinkType::Responder, "1.4.6");
        ASSERT_TRUE(link.non_blocking_run());
        link.stop();
        link.join();
    }
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("[warn]") != std::string::npos &&
                                       line.find("--insecure-no-token") != std::string::npos;
                            }),
              2);
}

}  // namespace
