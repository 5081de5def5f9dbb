#include "pgulo/postgresRestoreObjects.h"

#include "pgulo/Parse_selectedItems.h"
#include "pgulo/host/EvDebug.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using pgulo::test::TempHostHome;
using Lines = std::vector<std::string>;

// Debian's libpq; no server listens on port 1, so the target database is never reached.
const char* const kLibDir = "/usr/lib/x86_64-linux-gnu";
const char* const kBinDir = "/usr/lib/postgresql/15/bin";

const char* const kHeader15 = R"(;
; Archive created at 2024-05-01 10:00:00 UTC
;     dbname: shop
;     Dumped from database version: 15.8 (Debian 15.8-0+deb12u1)
;
)";

const char* const kEntries = R"(6; 2615 16385 SCHEMA - app postgres
7; 2615 2200 SCHEMA - public pg_database_owner
2; 3079 16384 EXTENSION - pgcrypto 
3900; 0 0 COMMENT - EXTENSION pgcrypto 
230; 1255 16400 FUNCTION app price(integer) postgres
231; 1255 16401 FUNCTION app price(integer, integer) postgres
232; 1255 16402 FUNCTION app pricey(integer) postgres
233; 1255 16403 FUNCTION zeta price(integer) postgres
215; 1259 16386 TABLE app orders postgres
217; 1259 16387 TABLE app orders_archive postgres
218; 1259 16388 TABLE app my table postgres
216; 1259 16390 SEQUENCE app orders_id_seq postgres
3901; 0 0 SEQUENCE OWNED BY app orders_id_seq postgres
3210; 2604 16391 DEFAULT app orders id postgres
3890; 0 16386 TABLE DATA app orders postgres
3891; 0 16388 TABLE DATA app my table postgres
3902; 0 0 SEQUENCE SET app orders_id_seq postgres
3220; 2606 16395 CONSTRAINT app orders orders_pkey postgres
3221; 1259 16396 INDEX app orders_status_idx postgres
3222; 2618 16397 RULE app orders orders_no_delete postgres
3223; 2620 16398 TRIGGER app orders orders_touch postgres
3224; 2606 16399 FK CONSTRAINT app orders orders_customer_fk postgres
3903; 0 0 ACL app TABLE orders postgres
3904; 0 0 COMMENT app TABLE orders postgres
)";

using pgulo::test::TestFiles;

// The list's entry lines of those dump ids, in the order given.
Lines Entries(const std::string& ids) {
    Lines lines;
    std::istringstream words(ids);
    for (std::string id; words >> id;) {
        const std::size_t before = lines.size();
        for (const std::string& line : TestFiles::SplitLines(kEntries))
            if (line.compare(0, id.size() + 1, id + ";") == 0)
                lines.push_back(line);
        EXPECT_EQ(lines.size(), before + 1) << "no one entry " << id;
    }
    return lines;
}

class ObjectListEditTest : public ::testing::Test {
protected:
    void SetUp() override {
        LangInstallFlag = 0;
        ASSERT_EQ(restore_.init(kLibDir, "", kBinDir, "postgres", home_.path(), "1", "target",
                                home_.file("shop.dump"), home_.path(), "15.8"),
                  0);
    }
    void TearDown() override { LangInstallFlag = 0; }

    void UseList(const std::string& text) {
        TestFiles::Write(home_.file("list.txt"), text);
        ASSERT_EQ(restore_.setObjectsListfile(home_.file("list.txt")), 0);
    }

    // The edited list, written from the list and the objects.
    Lines Edit(const std::vector<object_type>& objects) {
        for (const object_type& object : objects)
            restore_.addObjects(object);
        EXPECT_EQ(restore_.setObjectsList(), 0);
        std::string path;
        restore_.getEditObjectListfile(path);
        return TestFiles::ReadLines(path);
    }

    // The entry lines of the edited list (the header left out).
    Lines EditedEntries(const std::vector<object_type>& objects) {
        Lines entries;
        for (const std::string& line : Edit(objects))
            if (line.compare(0, 1, ";") != 0)
                entries.push_back(line);
        return entries;
    }

    TempHostHome home_;
    postgresRestoreObjects restore_;
};

TEST_F(ObjectListEditTest, SelectedObjectsKeepTheHeaderAndTheirOwnEntriesOnly) {
    // The entries kept, by their dump ids.
    const struct {
        std::vector<object_type> objects;
        const char* ids;
    } cases[] = {
        {{{"orders", "TABLE", "app"}}, "215 3210 3890 3220 3222 3223 3224"},
        {{{"orders_status_idx", "INDEX", "app"}, {"orders_id_seq", "SEQUENCE", "app"}},
         "216 3901 3902 3221"},
        // Every overload of a function, of its schema only.
        {{{"price", "FUNCTION", "app"}}, "230 231"},
        {{{"my table", "TABLE", "app"}}, "218 3891"},
        // The schema of an unreachable target is kept, but public never.
        {{{"app", "SCHEMA", "app"}, {"public", "SCHEMA", "public"}}, "6"},
        // Objects are used up by a successful edit.
        {{}, ""},
    };
    for (const auto& c : cases) {
        UseList(std::string(kHeader15) + kEntries);
        Lines edited = Edit(c.objects);
        // The header lines are copied in their order, before the entries.
        const Lines header = TestFiles::SplitLines(kHeader15);
        ASSERT_GE(edited.size(), header.size());
        EXPECT_EQ(Lines(edited.begin(), edited.begin() + header.size()), header);
        EXPECT_EQ(Lines(edited.begin() + header.size(), edited.end()), Entries(c.ids));
    }
}

TEST_F(ObjectListEditTest, SelectingTwiceWritesTheLinesTwice) {
    UseList(std::string(kHeader15) + "3890; 0 16386 TABLE DATA app orders postgres\n");
    EXPECT_EQ(EditedEntries({{"orders", "TABLE", "app"}, {"orders", "TABLE", "app"}}),
              Entries("3890 3890"));
}

TEST_F(ObjectListEditTest, MissingListFileFailsAndKeepsTheObjects) {
    EXPECT_EQ(restore_.setObjectsListfile(home_.file("no-such-list")), -1);
    restore_.addObjects({"orders", "TABLE", "app"});
    EXPECT_EQ(restore_.setObjectsList(), -1);

    UseList(std::string(kHeader15) + kEntries);
    EXPECT_EQ(EditedEntries({}).size(), 7u);
}

TEST_F(ObjectListEditTest, UnwritableEditedListFails) {
    ASSERT_EQ(restore_.init(kLibDir, "", kBinDir, "postgres", "", "1", "target", "",
                            home_.file("no/such/dir"), "15.8"),
              0);
    UseList(std::string(kHeader15) + kEntries);
    EXPECT_EQ(restore_.setObjectsList(), -1);
}

TEST_F(ObjectListEditTest, OldDumpKeepsItsLanguagesForANewDatabase) {
    const struct {
        const char* version; // "": the list names no version
        int langInstallFlag;
        bool kept;
    } cases[] = {
        {"8.4.22", 1, true}, {"8.4.22", 0, false}, {"8.0.26", 1, true}, {"9.0.23", 1, false},
        {"15.8 (Debian)", 1, false}, {"", 1, true}, {"", 0, false},
    };
    const std::string language = "8; 2612 16386 PROCEDURAL LANGUAGE - plpgsql postgres";
    const std::string table = "215; 1259 16386 TABLE public t1 postgres";
    for (const auto& c : cases) {
        LangInstallFlag = c.langInstallFlag;
        const std::string versionLine =
            *c.version ? std::string(";     Dumped from database version: ") + c.version + "\n"
                       : "";
        UseList(";\n" + versionLine + ";\n" + language + "\n" + table + "\n");
        Lines expected{table};
        if (c.kept)
            expected.insert(expected.begin(), language);
        EXPECT_EQ(EditedEntries({{"t1", "TABLE", "public"}}), expected)
            << c.version << " " << c.langInstallFlag;
    }
}

TEST_F(ObjectListEditTest, NewDumpKeepsALanguageOnlyWhenSelected) {
    LangInstallFlag = 1;
    UseList(";     Dumped from database version: 9.6.24\n"
            "8; 2612 16386 PROCEDURAL LANGUAGE - plpgsql postgres\n");
    EXPECT_EQ(EditedEntries({{"plpgsql", "PROCEDURAL LANGUAGE", "-"}}),
              (Lines{"8; 2612 16386 PROCEDURAL LANGUAGE - plpgsql postgres"}));
}

TEST_F(ObjectListEditTest, CommandsReportTheirExitStatusAndAFailedListingNamesItsCommand) {
    EXPECT_EQ(restore_.execute("true"), 0);
    EXPECT_EQ(restore_.execute("echo out; echo err >&2; exit 3"), -1);
    EXPECT_EQ(restore_.getObjectsList(), -1);
    const std::string text = TestFiles::Read(EvDebug::logFilePath());
    EXPECT_NE(text.find(" command = /usr/lib/postgresql/15/bin/pg_restore -U postgres -Fc -p 1 "
                        "--list " +
                        home_.file("shop.dump") + " > " + home_.file("ObjectsList") + " failed"),
              std::string::npos)
        << text;
}

} // namespace
