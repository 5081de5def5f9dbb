// A host home damaged on disk (the password key, an instance record, a sealed password) is
// reported by every command that reads it, in one sentence naming the damaged file: never an
// empty password, a blank instance, or the secret itself.

#include "MajorStage.h"
#include "PguloHost.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using json = nlohmann::json;

const char* const kPassword = "s3cret-pw";
// Printable, so that a message quoting the key file would show it.
const char* const kTextKey = "this is no key at all, just text\n";

std::string KeyFile(const PguloHost& host) {
    return host.Home() + "/secret.key";
}

std::string RecordFile(const PguloHost& host) {
    return host.Home() + "/store/instances/1.json";
}

void EditRecord(const PguloHost& host, const std::function<void(json&)>& edit) {
    json record = json::parse(TestFiles::Read(RecordFile(host)));
    edit(record);
    TestFiles::Write(RecordFile(host), record.dump(2));
}

// Flips one character in the middle of the sealed text, keeping it valid base64.
void AlterSealedPassword(json& record) {
    std::string sealed = record["properties"]["saPassword"];
    char& c = sealed[sealed.size() / 2];
    c = c == 'A' ? 'B' : 'A';
    record["properties"]["saPassword"] = sealed;
}

struct DamageCase {
    const char* name;
    std::function<void(const PguloHost&)> damage;
    // The file the message must name.
    std::function<std::string(const PguloHost&)> file;
};

void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<DamageCase>& Cases() {
    static const std::vector<DamageCase> cases = {
        {"TruncatedKey",
         [](const PguloHost& h) {
             TestFiles::Write(KeyFile(h), TestFiles::Read(KeyFile(h)).substr(0, 20));
         },
         KeyFile},
        {"EmptyKey", [](const PguloHost& h) { TestFiles::Write(KeyFile(h), ""); }, KeyFile},
        {"TextInsteadOfKey", [](const PguloHost& h) { TestFiles::Write(KeyFile(h), kTextKey); },
         KeyFile},
        {"AnotherKeyOfTheRightSize",
         [](const PguloHost& h) { TestFiles::Write(KeyFile(h), std::string(32, 'k')); }, KeyFile},
        {"KeyRemoved", [](const PguloHost& h) { fs::remove(KeyFile(h)); }, KeyFile},
        {"RecordTruncated",
         [](const PguloHost& h) {
             const std::string text = TestFiles::Read(RecordFile(h));
             TestFiles::Write(RecordFile(h), text.substr(0, text.size() / 2));
         },
         RecordFile},
        {"RecordEmpty", [](const PguloHost& h) { TestFiles::Write(RecordFile(h), ""); },
         RecordFile},
        {"RecordNotJson",
         [](const PguloHost& h) { TestFiles::Write(RecordFile(h), "name=main\nport=5432\n"); },
         RecordFile},
        {"RecordWithoutName",
         [](const PguloHost& h) { EditRecord(h, [](json& r) { r.erase("name"); }); }, RecordFile},
        {"RecordWithoutProperties",
         [](const PguloHost& h) { EditRecord(h, [](json& r) { r.erase("properties"); }); },
         RecordFile},
        {"RecordWithoutPassword",
         [](const PguloHost& h) {
             EditRecord(h, [](json& r) { r["properties"].erase("saPassword"); });
         },
         RecordFile},
        {"RecordWithAWrongType",
         [](const PguloHost& h) { EditRecord(h, [](json& r) { r["properties"]["port"] = 5432; }); },
         RecordFile},
        {"SealedPasswordAltered", [](const PguloHost& h) { EditRecord(h, AlterSealedPassword); },
         RecordFile},
        {"SealedPasswordNotSealed",
         [](const PguloHost& h) {
             EditRecord(h, [](json& r) { r["properties"]["saPassword"] = "v1:!!not base64!!"; });
         },
         RecordFile},
    };
    return cases;
}

class CliDamagedHomeTest : public ::testing::TestWithParam<DamageCase> {
protected:
    // An instance registered with a sealed password; no server is needed to add one.
    void SetUp() override {
        const ProcessResult added = Add("main", "5999");
        ASSERT_EQ(added.exitCode, 0) << added.out << added.err;
        ASSERT_TRUE(fs::exists(KeyFile(host_)));
        ASSERT_TRUE(fs::exists(RecordFile(host_)));
    }

    ProcessResult Add(const std::string& name, const std::string& port) const {
        const std::string dir = dirs_.Root();
        return host_.Run({"instance", "add", name, "--pgdata", dir, "--bindir", dir, "--libdir",
                          dir, "--archive-dir", dir, "--port", port, "--user", "backup",
                          "--password-stdin"},
                         std::string(kPassword) + "\n");
    }

    TempTree dirs_{"pgulo-damaged"};
    PguloHost host_;
};

TEST_F(CliDamagedHomeTest, IntactHomeListsTheInstance) {
    const ProcessResult listed = host_.Run({"instance", "list"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_NE(listed.out.find("main"), std::string::npos) << listed.out;
}

// A key file that is there but holds no key is never replaced, so nothing can be sealed.
TEST_F(CliDamagedHomeTest, AddingAnInstanceRefusesAKeyFileThatHoldsNoKey) {
    TestFiles::Write(KeyFile(host_), kTextKey);
    ExpectRefused(Add("second", "5998"), 1, KeyFile(host_));
    EXPECT_FALSE(fs::exists(host_.Home() + "/store/instances/2.json"));
    EXPECT_EQ(TestFiles::Read(KeyFile(host_)), kTextKey);
}

TEST_P(CliDamagedHomeTest, EveryCommandNamesTheDamagedFile) {
    GetParam().damage(host_);
    const std::string file = GetParam().file(host_);
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"instance", "show", "main"},
          std::vector<std::string>{"instance", "list"},
          std::vector<std::string>{"instance", "list", "--json"},
          std::vector<std::string>{"backup", "main", "--type", "full"}}) {
        const ProcessResult r = host_.Run(command);
        SCOPED_TRACE(command[0] + " " + command[1]);
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
        // One sentence: a single line on stderr, nothing on stdout.
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find(kPassword), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("this is no key"), std::string::npos) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Damage, CliDamagedHomeTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
