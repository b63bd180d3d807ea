// The machine outputs of whole runs through the fake platform: JSON Lines, the per-host table and
// the answering addresses, what goes to standard error beside them, and the exit code of --alive.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_test_support.h"
#include "cli/start_up.h"
#include "fakes/fake_platform.h"
#include "report/metrics_file.h"
#include "support/inet.h"

namespace quilvane {
namespace {

using testing::ArgumentVector;
using testing::FakePlatform;
using testing::ScopedFakePlatform;

struct OutputRun {
    std::string name;
    std::vector<std::string> arguments;
    std::string expected;  // standard output, every "time" of JSON shown as T
    int exitCode = 0;
    std::function<void(FakePlatform&)> arrange = [](FakePlatform&) {};
    std::string errorsInclude = "";
};

void PrintTo(const OutputRun& run, std::ostream* out) {
    *out << run.name;
}

std::string reply(const char* host, unsigned seq, unsigned number, int size = 32) {
    return std::string("{\"type\":\"reply\",\"time\":T,\"host\":\"") + host + "\",\"address\":\"" +
           host + "\",\"seq\":" + std::to_string(seq) + ",\"size\":" + std::to_string(size) +
           ",\"number\":" + std::to_string(number) + ",\"ttl\":64,\"tos\":0,\"rtt_us\":1000.000}\n";
}

std::string timeout(const char* host, unsigned seq) {
    return std::string("{\"type\":\"timeout\",\"time\":T,\"host\":\"") + host +
           "\",\"address\":\"" + host + "\",\"seq\":" + std::to_string(seq) + ",\"size\":32}\n";
}

std::string summary(const char* host, unsigned sent, unsigned received) {
    std::string times = received == 0
                            ? "null"
                            : "{\"min\":1000.000,\"avg\":1000.000,\"max\":1000.000,\"mdev\":0.000,"
                              "\"p50\":1000.000,\"p90\":1000.000,\"p99\":1000.000}";
    return std::string("{\"type\":\"summary\",\"host\":\"") + host + "\",\"address\":\"" + host +
           "\",\"sent\":" + std::to_string(sent) + ",\"received\":" + std::to_string(received) +
           ",\"resent\":0,\"loss_percent\":" +
           std::to_string(sent == 0 ? 0 : (sent - received) * 100 / sent) + ",\"rtt_us\":" + times +
           "}\n";
}

std::string total(unsigned sent, unsigned received) {
    std::string times =
        received == 0 ? "null" : "{\"min\":1000.000,\"avg\":1000.000,\"max\":1000.000}";
    return "{\"type\":\"total\",\"time\":T,\"sent\":" + std::to_string(sent) +
           ",\"received\":" + std::to_string(received) + ",\"resent\":0,\"loss_percent\":" +
           std::to_string(sent == 0 ? 0 : (sent - received) * 100 / sent) + ",\"rtt_us\":" + times +
           "}\n";
}

void silenceSecond(FakePlatform& fake) {
    fake.silentDestinations = {inetAddr("10.0.0.2")};
}

const char* const tableHeading =
    "\nAddress             Sent Received  Loss   Minimum   Average   Maximum  Mean dev       P50"
    "       P90       P99\n";

std::vector<OutputRun> outputRuns() {
    return {
        // One pass: each summary as soon as its host's dispatch is over.
        {"JsonOnePassSummarisesEachHostAtOnce",
         {"10.0.0.1", "10.0.0.2", "--json"},
         reply("10.0.0.1", 1, 1) + summary("10.0.0.1", 1, 1) + timeout("10.0.0.2", 1) +
             summary("10.0.0.2", 1, 0) + total(2, 1),
         1,
         silenceSecond,
         "Pinging multiple hosts with 32 bytes of data every 1000 ms:\n"},
        {"JsonPassesSummariseAtTheEnd",
         {"10.0.0.1", "10.0.0.2", "-n", "2", "-t", "5", "--json"},
         reply("10.0.0.1", 1, 1) + timeout("10.0.0.2", 1) + reply("10.0.0.1", 2, 3) +
             timeout("10.0.0.2", 2) + summary("10.0.0.1", 2, 2) + summary("10.0.0.2", 2, 0) +
             total(4, 2),
         1,
         silenceSecond},
        {"JsonSingleHostCountsItsAttempts",
         {"10.0.0.1", "-n", "2", "-t", "5", "--json"},
         reply("10.0.0.1", 1, 1) + reply("10.0.0.1", 2, 2) + summary("10.0.0.1", 2, 2) +
             total(2, 2),
         0,
         [](FakePlatform&) {},
         "Pinging 10.0.0.1 with 32 bytes of data every 5 ms:\n"},
        {"JsonErrorLinesBelongToTheirHost",
         {"nosuchhost", "10.0.0.1", "--json"},
         std::string(
             "{\"type\":\"error\",\"time\":T,\"host\":\"nosuchhost\",\"seq\":1,\"text\":\"Host not "
             "found: nosuchhost  error 11001\"}\n") +
             "{\"type\":\"summary\",\"host\":\"nosuchhost\",\"address\":\"\",\"sent\":0,"
             "\"received\":0,\"resent\":0,\"loss_percent\":0,\"rtt_us\":null}\n" +
             reply("10.0.0.1", 1, 2) + summary("10.0.0.1", 1, 1) + total(1, 1),
         0,
         [](FakePlatform&) {},
         "Host not found: nosuchhost  error 11001\n"},
        {"JsonDontFragmentRefusal",
         {"10.0.0.1", "10.0.0.2", "-f", "-s", "1500", "--json"},
         "{\"type\":\"dont_fragment\",\"time\":T,\"host\":\"10.0.0.1\",\"address\":\"\",\"seq\":1,"
         "\"size\":1500}\n" +
             summary("10.0.0.1", 1, 0) +
             "{\"type\":\"dont_fragment\",\"time\":T,\"host\":\"10.0.0.2\",\"address\":\"\","
             "\"seq\":1,\"size\":1500}\n" +
             summary("10.0.0.2", 1, 0) + total(2, 0),
         3},
        {"AliveOnePass",
         {"10.0.0.1", "10.0.0.2", "10.0.0.3", "--alive"},
         "10.0.0.1\n10.0.0.3\n",
         0,
         silenceSecond},
        {"AlivePassesListInListOrder",
         {"10.0.0.2", "10.0.0.1", "-n", "2", "-t", "5", "--alive"},
         "10.0.0.1\n",
         0,
         silenceSecond},
        {"AliveWithoutAnswersEndsWithOne",
         {"10.0.0.2", "10.0.0.2", "--alive"},
         "",
         1,
         silenceSecond},
        {"SummaryTableFollowsTheStatistics",
         {"10.0.0.1", "10.0.0.2", "-n", "2", "-t", "5", "-l", "--summary"},
         "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n10.0.0.2: request timed out\n\n"
         "Reply[3] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n10.0.0.2: request timed out\n" +
             std::string(tableHeading) +
             "10.0.0.1               2        2    0%     1.000     1.000     1.000     0.000 "
             "    1.000     1.000     1.000\n"
             "10.0.0.2               2        0  100%         -         -         -         - "
             "        -         -         -\n",
         1,
         silenceSecond},
        {"SummaryTableOfOnePassComesFromItsSpool",
         {"10.0.0.1", "10.0.0.2", "-l", "--summary"},
         "Reply[1] from 10.0.0.1: bytes=32 time=1.0 ms TTL=64\n10.0.0.2: request timed out\n" +
             std::string(tableHeading) +
             "10.0.0.1               1        1    0%     1.000     1.000     1.000     0.000 "
             "    1.000     1.000     1.000\n"
             "10.0.0.2               1        0  100%         -         -         -         - "
             "        -         -         -\n",
         1,
         silenceSecond},
    };
}

class ResultOutputsTest : public ::testing::TestWithParam<OutputRun> {
  protected:
    ResultOutputsTest() { platform.fake.autoReply = true; }
    ScopedFakePlatform platform;
};

TEST_P(ResultOutputsTest, WholeRun) {
    const OutputRun& run = GetParam();
    run.arrange(platform.fake);
    ArgumentVector arguments(run.arguments);
    int code = runProgram(arguments.argc(), arguments.argv()) & 0xFF;
    std::string shown =
        std::regex_replace(platform.output, std::regex("\"time\":\"[^\"]+\""), "\"time\":T");
    EXPECT_EQ(shown, run.expected);
    EXPECT_EQ(code, run.exitCode);
    EXPECT_NE(platform.errors.find(run.errorsInclude), std::string::npos) << platform.errors;
}

INSTANTIATE_TEST_SUITE_P(Runs, ResultOutputsTest, ::testing::ValuesIn(outputRuns()),
                         [](const auto& test) { return test.param.name; });

TEST(ResultOutputsTime, JsonStampsTellTheLocalOffset) {
    ScopedFakePlatform platform;
    platform.fake.autoReply = true;
    platform.fake.utcOffset = -7200;
    ArgumentVector arguments({"10.0.0.1", "-n", "1", "--json"});
    runProgram(arguments.argc(), arguments.argv());
    EXPECT_TRUE(std::regex_search(platform.output,
                                  std::regex("\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d"
                                             "\\.\\d{6}-02:00\"")))
        << platform.output;
}

TEST(ResultOutputsMetrics, TheFileIsReplacedWholeAfterEveryPass) {
    ScopedFakePlatform platform;
    platform.fake.autoReply = true;
    silenceSecond(platform.fake);
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("quilvane-metrics-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(folder);
    std::string path = (folder / "hosts.prom").string();
    int passesSeen = 0;
    platform.fake.onSleep = [&](uint32_t) {
        // Between passes the file of the pass before is there, whole.
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        if (text.str().find("quilvane_run_passes_total " + std::to_string(passesSeen + 1) + "\n") !=
            std::string::npos) {
            ++passesSeen;
        }
        EXPECT_NE(text.str().rfind("# EOF\n"), std::string::npos);
    };
    ArgumentVector arguments(
        {"10.0.0.1", "10.0.0.2", "-n", "3", "-t", "5", "-l", "--metrics", path});
    runProgram(arguments.argc(), arguments.argv());
    std::string metrics;
    {
        // Closed before the folder is removed: Windows keeps an open file from being removed.
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        metrics = text.str();
    }
    EXPECT_EQ(passesSeen, 2);
    for (const char* line :
         {"quilvane_requests_total{host=\"10.0.0.2\",address=\"10.0.0.2\"} 3\n",
          "quilvane_replies_total{host=\"10.0.0.1\",address=\"10.0.0.1\"} 3\n",
          "quilvane_replies_total{host=\"10.0.0.2\",address=\"10.0.0.2\"} 0\n",
          "quilvane_rtt_seconds_bucket{host=\"10.0.0.1\",address=\"10.0.0.1\",le=\"0.001\"} 3\n",
          "quilvane_rtt_seconds_bucket{host=\"10.0.0.1\",address=\"10.0.0.1\",le=\"0.0005\"} 0\n",
          "quilvane_rtt_seconds_sum{host=\"10.0.0.1\",address=\"10.0.0.1\"} 0.003\n",
          "quilvane_last_rtt_seconds{host=\"10.0.0.1\",address=\"10.0.0.1\"} 0.001\n",
          "quilvane_last_rtt_seconds{host=\"10.0.0.2\",address=\"10.0.0.2\"} NaN\n",
          "quilvane_up{host=\"10.0.0.2\",address=\"10.0.0.2\"} 0\n",
          "quilvane_run_passes_total 3\n", "quilvane_run_requests_total 6\n"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
    std::filesystem::remove_all(folder);
}

TEST(ResultOutputsMetrics, LabelValuesAreEscaped) {
    EXPECT_EQ(metricsLabelValue("plain.host"), "plain.host");
    EXPECT_EQ(metricsLabelValue("a\"b\\c\nd\re"), "a\\\"b\\\\c\\nd?e");
    EXPECT_EQ(metricsLabelValue("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(metricsLabelValue("bad\xff"), "bad?");
}

}  // namespace
}  // namespace quilvane
