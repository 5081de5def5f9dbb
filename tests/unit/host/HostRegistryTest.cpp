#include "pgulo/host/HostHome.h"
#include "pgulo/host/KXPlatformInfo.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using pgulo::test::TempHostHome;

class HostRegistryTest : public ::testing::Test {
protected:
    void writeRegistry(const std::string& text) {
        pgulo::test::TestFiles::Write(HostHome::registryFile(), text);
    }

    TempHostHome home_;
    KXPlatformInfo registry_;
};

TEST_F(HostRegistryTest, ReadsKeysOfTheirOwnSectionOnly) {
    writeRegistry("# host settings\n"
                  "; second comment style\n"
                  "[EvDebug]\n"
                  "nDebugLevel=4\n"
                  "\n"
                  "  [ PostGres ]  \n"
                  "  sCleanArchDir =  /var/archive  \n"
                  "nWaitForEndLogMins=45\n"
                  "#nDoNotBackupAllLogs=1\n"
                  "sWithEquals=a=b\n"
                  "sEmpty=\n");
    std::string value;
    ASSERT_NE(0, registry_.getString("PostGres", "sCleanArchDir", value));
    EXPECT_EQ("/var/archive", value);
    ASSERT_NE(0, registry_.getString("PostGres", "sWithEquals", value));
    EXPECT_EQ("a=b", value);

    long number = 0;
    ASSERT_NE(0, registry_.getNumber("PostGres", "nWaitForEndLogMins", number));
    EXPECT_EQ(45, number);
    EXPECT_EQ(0, registry_.getNumber("PostGres", "nDoNotBackupAllLogs", number))
        << "a commented-out key is not set";
    EXPECT_EQ(0, registry_.getNumber("PostGres", "nDebugLevel", number))
        << "keys belong to their section";
    ASSERT_NE(0, registry_.getString("postgres", "SCLEANARCHDIR", value))
        << "names are matched without regard to case, as in the host's registry";
    EXPECT_EQ("/var/archive", value);
}

TEST_F(HostRegistryTest, NumbersMustBeWholeDecimalNumbers) {
    const struct {
        const char* text;
        bool valid;
        long value;
    } cases[] = {
        {"-5", true, -5},         {" 30 ", true, 30},
        {"9223372036854775807", true, 9223372036854775807L},
        {"9223372036854775808", false, 0}, {"12abc", false, 0}, {"", false, 0},
    };
    std::string text = "[PostGres]\n";
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        text += "k" + std::to_string(i) + "=" + cases[i].text + "\n";
    writeRegistry(text);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        long value = -999;
        int found = registry_.getNumber("PostGres", "k" + std::to_string(i), value);
        EXPECT_EQ(cases[i].valid, found != 0) << "text [" << cases[i].text << "]";
        if (cases[i].valid) {
            EXPECT_EQ(cases[i].value, value) << "text [" << cases[i].text << "]";
        }
    }
}

TEST_F(HostRegistryTest, SetThenGetKeepsCommentsAndOtherKeysInAPrivateFile) {
    writeRegistry("# keep me\n[PostGres]\nnWaitForEndLogMins=30\n\n[Other]\nx=1\n");
    ASSERT_TRUE(registry_.setNumber("PostGres", "nWaitForEndLogMins", 5));
    ASSERT_TRUE(registry_.setString("PostGres", "sCleanArchDir", "/arch"));
    ASSERT_TRUE(registry_.setString("EvDebug", "nDebugLevel", "3"));

    long number = 0;
    std::string value;
    ASSERT_NE(0, registry_.getNumber("PostGres", "nWaitForEndLogMins", number));
    EXPECT_EQ(5, number);
    ASSERT_NE(0, registry_.getString("Other", "x", value));
    EXPECT_EQ("1", value);

    const std::string text = pgulo::test::TestFiles::Read(HostHome::registryFile());
    EXPECT_NE(std::string::npos, text.find("# keep me")) << text;
    EXPECT_EQ(text.find("sCleanArchDir"), text.rfind("sCleanArchDir")) << text;
    EXPECT_LT(text.find("sCleanArchDir"), text.find("[Other]")) << "added in its own section";
    struct stat st {};
    ASSERT_EQ(0, ::stat(HostHome::registryFile().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(HostRegistryTest, RefusesValuesThatWouldBreakTheFile) {
    EXPECT_FALSE(registry_.setString("PostGres", "key", "two\nlines"));
    EXPECT_FALSE(registry_.setString("Post]Gres", "key", "v"));
    EXPECT_FALSE(registry_.setString("PostGres", "k=ey", "v"));
    EXPECT_FALSE(registry_.setString("PostGres", "", "v"));
}

} // namespace
