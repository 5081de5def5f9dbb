#include "pgulo/PGCommon.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "PgCluster.h"

namespace {

using pgulo::test::PgCluster;

// A server of the major, without archiving, started for one test.
std::unique_ptr<PgCluster> StartServer(int major, const std::string& name) {
    PgCluster::Options options;
    options.name = name + "-" + std::to_string(major);
    options.archiving = false;
    auto cluster = std::make_unique<PgCluster>(major, options);
    cluster->start();
    return cluster;
}

class QuoteIdentAgainstServer : public ::testing::TestWithParam<int> {};

// Every keyword the server knows, and a few awkward names: where the server quotes, we quote
// the same way. Quoting a word the server would leave bare is harmless, and happens only for
// words reserved in some other release.
TEST_P(QuoteIdentAgainstServer, QuotesAtLeastWhatTheServerQuotes) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);
    const std::unique_ptr<PgCluster> server = StartServer(major, "quoteident");
    const PgCluster& cluster = *server;

    const std::string output = cluster.psql(
        "SELECT w || '|' || quote_ident(w) FROM (SELECT word AS w FROM pg_get_keywords() UNION "
        "ALL SELECT unnest(ARRAY['sales', 'Sales', '1abc', '_x', 'a b', 'say \"hi\"', 'x;y', "
        "'caf\u00e9', 'users', 'a$b'])) AS t");
    std::istringstream lines(output);
    std::string line;
    int checked = 0;
    int quotedByServer = 0;
    std::vector<std::string> quotedOnlyByUs;
    while (std::getline(lines, line)) {
        const auto bar = line.find('|');
        ASSERT_NE(bar, std::string::npos) << line;
        const std::string word = line.substr(0, bar);
        const std::string server = line.substr(bar + 1);
        const std::string ours = PGCommon::QuoteIdent(word);
        if (server != word) {
            ++quotedByServer;
            EXPECT_EQ(ours, server) << word;
        } else if (ours != word) {
            EXPECT_EQ(ours, "\"" + word + "\"");
            quotedOnlyByUs.push_back(word);
        }
        ++checked;
    }
    EXPECT_GT(checked, 400);
    EXPECT_GT(quotedByServer, 80);
    // The list follows the newest release.
    if (major >= 18) {
        EXPECT_TRUE(quotedOnlyByUs.empty()) << quotedOnlyByUs.front();
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, QuoteIdentAgainstServer, ::testing::Values(10, 16, 18),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

// A quoted text reaches the server as the text itself, whichever way standard_conforming_strings
// is set.
class QuoteLiteralAgainstServer : public ::testing::TestWithParam<int> {};

std::string Hex(const std::string& text) {
    static const char* const kDigits = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : text) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

TEST_P(QuoteLiteralAgainstServer, ReadsBackTheTextUnderEitherStringSetting) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);
    const std::unique_ptr<PgCluster> server = StartServer(major, "quoteliteral");
    const PgCluster& cluster = *server;

    const std::vector<std::string> texts = {"plain", "it's",      "''",
                                            "a\\b",  "\\",        "x\\'; SELECT 1; --",
                                            "\\\\'", "tab\there", "caf\xc3\xa9"};
    for (const char* setting : {"on", "off"}) {
        for (const std::string& text : texts) {
            const std::string sql = std::string("SET standard_conforming_strings = ") + setting +
                                    "; SELECT encode(convert_to(" + PGCommon::QuoteLiteral(text) +
                                    ", 'UTF8'), 'hex')";
            EXPECT_EQ(cluster.psql(sql), Hex(text)) << setting << ": " << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, QuoteLiteralAgainstServer, ::testing::Values(10, 18),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

} // namespace
