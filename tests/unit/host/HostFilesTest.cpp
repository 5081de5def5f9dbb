#include "pgulo/host/CRoDirectory.h"
#include "pgulo/host/CRoFile.h"
#include "pgulo/host/CRoPath.h"
#include "pgulo/host/FXErrorUtil.h"
#include "pgulo/host/FXFile.h"
#include "pgulo/host/FXPath.h"
#include "pgulo/host/FXString.h"
#include "pgulo/host/KxProcess.h"
#include "pgulo/host/UnixSymbolicLink.h"
#include "pgulo/host/UtfFileApi.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <cerrno>
#include <clocale>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using pgulo::test::TempHostHome;
using Names = std::set<std::string>;

class HostFilesTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return home_.file(name); }
    void write(const std::string& name, const std::string& text) {
        pgulo::test::TestFiles::Write(path(name), text);
    }
    std::string read(const std::string& name) {
        std::string text;
        EXPECT_FALSE(CRoFile::ReadWholeFile(path(name), text).IsError()) << name;
        return text;
    }
    unsigned mode(const std::string& name) {
        struct stat st {};
        EXPECT_EQ(0, ::stat(path(name).c_str(), &st));
        return st.st_mode & 07777;
    }
    Names find(const std::string& pattern, Names* dirs = nullptr) {
        Names names;
        auto_find_handle handle;
        FXFile::CFileData data;
        for (bool more = FXFile::KXFindFirstFile(handle, pattern, data); more;
             more = FXFile::KXFindNextFile(handle, data)) {
            names.insert(data.name);
            if (dirs != nullptr && data.IsDirectory())
                dirs->insert(data.name);
        }
        return names;
    }

    TempHostHome home_;
};

TEST_F(HostFilesTest, CopyKeepsContentAndModeAndFailsOnAMissingSource) {
    std::string content(300000, 'x');
    content[12345] = '\0';
    write("source", content);
    ASSERT_EQ(0, ::chmod(path("source").c_str(), 0640));
    write("target", "old");
    ASSERT_FALSE(FXFile::KXCopyFile(path("source"), path("target"), 0).IsError());
    EXPECT_EQ(content, read("target"));
    EXPECT_EQ(0640u, mode("target"));
    EXPECT_EQ(Names({".", "..", "source", "target"}), find(home_.path() + "/*"))
        << "no temporary file stays behind";

    CRoError error = FXFile::KXCopyFile(path("missing"), path("copy"), 0);
    EXPECT_EQ(ENOENT, error.GetErrorCode());
    EXPECT_NE(std::string::npos, error.AsString().find("missing")) << error.AsString();
    EXPECT_FALSE(FXFile::DoesFileExist(path("copy")));
}

TEST_F(HostFilesTest, MoveReplacesOnlyWhenAskedAndRemoveSizeAndExistenceTellFiles) {
    write("a", "A");
    write("b", "12345");
    EXPECT_EQ(EEXIST, FXFile::KXMoveFileEx(path("a"), path("b"), 0).GetErrorCode());
    std::uint64_t size = 0;
    ASSERT_FALSE(FXFile::KXGetFileSize(path("b"), size).IsError());
    EXPECT_EQ(5u, size);
    ASSERT_FALSE(FXFile::KXMoveFileEx(path("a"), path("b"), 1).IsError());
    EXPECT_FALSE(FXFile::DoesFileExist(path("a")));
    EXPECT_EQ("A", read("b"));
    EXPECT_TRUE(FXFile::KXMoveFileEx(path("a"), path("d"), 1).IsError());
    EXPECT_TRUE(FXFile::KXGetFileSize(path("a"), size).IsError());

    ASSERT_EQ(0, ::symlink("nowhere", path("dangling").c_str()));
    EXPECT_TRUE(FXFile::DoesFileExist(path("dangling"))) << "a link is there even if dangling";
    bool isFile = false;
    EXPECT_FALSE(FXPath::DoesPathExist(path("b"), isFile).IsError());
    EXPECT_TRUE(isFile);
    EXPECT_FALSE(FXPath::DoesPathExist(home_.path(), isFile).IsError());
    EXPECT_FALSE(isFile);
    EXPECT_TRUE(CRoPath::IsDirectory(home_.path()));
    EXPECT_FALSE(CRoPath::IsDirectory(path("b")));
    ASSERT_FALSE(FXFile::RemoveFile(path("b")).IsError());
    EXPECT_FALSE(FXFile::DoesFileExist(path("b")));
    EXPECT_TRUE(FXFile::RemoveFile(path("b")).IsError());
    EXPECT_TRUE(FXPath::DoesPathExist(path("b"), isFile).IsError());
    EXPECT_FALSE(FXPath::DoesPathExist(path("b")));
}

TEST_F(HostFilesTest, FindMatchesPatternsAndDirectoriesListTheirEntries) {
    write("one.kxf", "");
    write("two.kxf", "");
    write("three.txt", "");
    write(".hidden.kxf", "");
    ASSERT_EQ(0, ::mkdir(path("sub.kxf").c_str(), 0700));

    Names dirs;
    EXPECT_EQ(Names({".", "..", ".hidden.kxf", "one.kxf", "sub.kxf", "three.txt", "two.kxf"}),
              find(home_.path(), &dirs));
    EXPECT_EQ(Names({".", "..", "sub.kxf"}), dirs);
    EXPECT_EQ(Names({".hidden.kxf", "one.kxf", "sub.kxf", "two.kxf"}),
              find(home_.path() + "/*.kxf"));
    EXPECT_EQ(Names({"three.txt"}), find(home_.path() + "/three.txt"));
    EXPECT_TRUE(find(home_.path() + "/missing/*").empty());

    // A directory lists without its dot entries, and hidden names only when asked.
    auto list = [&](bool hidden) {
        CRoDirectory directory;
        EXPECT_FALSE(directory.Open(home_.path(), "*", hidden).IsError());
        Names names;
        bool done = false;
        std::string entry;
        while (!directory.GetEntry(entry, done).IsError() && !done)
            names.insert(entry);
        return names;
    };
    EXPECT_EQ(Names({".hidden.kxf", "one.kxf", "sub.kxf", "three.txt", "two.kxf"}), list(true));
    EXPECT_EQ(Names({"one.kxf", "sub.kxf", "three.txt", "two.kxf"}), list(false));

    CRoDirectory missing;
    EXPECT_TRUE(missing.Open(path("none"), "*", true).IsError());
}

TEST_F(HostFilesTest, PathsJoinWithOneSlash) {
    struct Case {
        const char* path;
        const char* name;
        const char* joined;
    } cases[] = {
        {"/a", "b", "/a/b"}, {"/a//", "/b", "/a/b"}, {"/", "b", "/b"},
        {"", "b", "b"},      {"/a", "", "/a"},       {"/a", "/", "/a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.joined, FXPath::Append(c.path, c.name, 0)) << c.path << " + " << c.name;
        EXPECT_EQ(c.joined, CRoPath::Append(c.path, c.name)) << c.path << " + " << c.name;
    }
}

TEST_F(HostFilesTest, WholeFileWriteIsAtomicAndPrivate) {
    ASSERT_FALSE(CRoFile::WriteWholeFileAtomic(path("f"), "first").IsError());
    ASSERT_FALSE(CRoFile::WriteWholeFileAtomic(path("f"), "second").IsError());
    EXPECT_EQ("second", read("f"));
    EXPECT_EQ(0600u, mode("f"));
    struct stat st {};
    EXPECT_TRUE(CRoFile::Stat(path("none"), st).IsError());
    EXPECT_TRUE(CRoFile::WriteWholeFileAtomic(path("none/f"), "x").IsError());
}

TEST_F(HostFilesTest, StringHelpersAndErrorValuesCarryCodeMessageAndPlaces) {
    EXPECT_EQ("a-7-b", FXString::Format("%s-%d-%s", "a", 7, "b"));
    EXPECT_EQ(std::string(2000, 'z'), FXString::Format("%s", std::string(2000, 'z').c_str()));
    EXPECT_EQ(std::vector<std::string>({"a", "", "b", ""}), FXString::Split("a,,b,", ","));
    EXPECT_EQ(std::vector<std::string>({"a", "b"}), FXString::Split("a::b", "::"));
    EXPECT_EQ("x y", FXString::Trim(" \t x y\r\n", " \t\r\n"));
    EXPECT_EQ("", FXString::Trim(" \t\r\n", " \t\r\n"));
    EXPECT_EQ("-42", FXString::ToString(-42));

    EXPECT_FALSE(CRoError::Success().IsError());
    CRoError error =
        FXErrorUtil::ErrorErrNo(FXCodeLocation("PGCommon", "int f()", 12), 22, "bad %s", "value");
    error.Push(FXCodeLocation("caller.cpp", "void g()", 3));
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(22, error.GetErrorCode());
    EXPECT_EQ("bad value at PGCommon:12 (int f()) at caller.cpp:3 (void g())", error.AsString());
}

TEST_F(HostFilesTest, LinksResolveWithRelativePathsAndAllowedMissingTailsButNotLoops) {
    // Resolved paths are compared with the home's own physical path.
    const std::string real = std::filesystem::canonical(home_.path()).string();
    std::filesystem::create_directories(path("data/base"));
    for (const auto& [target, name] :
         {std::pair<std::string, std::string>{path("data"), "abs"}, {"abs", "rel"},
          {"../rel/./base", "data/up"}, {"nowhere", "dangling"}, {"loop2", "loop1"},
          {"loop1", "loop2"}})
        ASSERT_EQ(0, ::symlink(target.c_str(), path(name).c_str())) << name;
    // error -1: any error; physical "": not compared; isLink -1: either.
    const struct {
        const char* path;
        bool tailMustExist;
        int error;
        std::string physical;
        int isLink;
    } cases[] = {
        {"rel", false, 0, "/data", 1},           {"rel/up", false, 0, "/data/base", -1},
        {"data/base/", false, 0, "/data/base", 0}, {"abs/new/file", false, 0, "/data/new/file", -1},
        {"abs/new/file", true, -1, "", -1},      {"dangling", false, -1, "", 1},
        {"loop1", false, ELOOP, "", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string physical;
        std::vector<std::string> components;
        bool isLink = false;
        const int error = UnixSymbolicLink::getPhysicalPath(path(c.path), physical, components,
                                                            true, c.tailMustExist, isLink)
                              .GetErrorCode();
        EXPECT_TRUE(c.error < 0 ? error != 0 : error == c.error) << error;
        std::string joined;
        for (const std::string& part : components)
            joined += "/" + part;
        if (!c.physical.empty()) {
            EXPECT_EQ(real + c.physical, physical);
            EXPECT_EQ(physical, joined) << "the components, each after a slash";
        }
        if (c.isLink >= 0) {
            EXPECT_EQ(c.isLink == 1, isLink);
        }
    }
    std::string physical;
    std::vector<std::string> components;
    EXPECT_FALSE(UnixSymbolicLink::getPhysicalPath(path("none"), physical, components, true, true));

    // A relative path starts at the working directory.
    std::string before;
    ASSERT_EQ(0, getcwd_utf(before));
    ASSERT_EQ(0, chdir_utf(path("data")));
    const bool resolved =
        UnixSymbolicLink::getPhysicalPath("base", physical, components, true, false);
    ASSERT_EQ(0, chdir_utf(before));
    EXPECT_TRUE(resolved);
    EXPECT_EQ(real + "/data/base", physical);
}

TEST_F(HostFilesTest, Latin1TextIsConvertedToUtf8AndTheCLocaleLeavesTextAsItIs) {
    EXPECT_EQ("/data/caf\xc3\xa9", mbeToUtf("/data/caf\xc3\xa9"));
    // A Latin-1 locale compiled into the test's home keeps the system untouched.
    const std::string locales = path("locales");
    ASSERT_EQ(0, ::mkdir(locales.c_str(), 0700));
    std::string out;
    if (KxProcess::system("localedef -i en_US -f ISO-8859-1 " + locales + "/en_US.ISO-8859-1", &out,
                          &out, 0, false) != 0)
        GTEST_SKIP() << "cannot compile a Latin-1 locale: " << out;
    ::setenv("LOCPATH", locales.c_str(), 1);
    const char* set = std::setlocale(LC_CTYPE, "en_US.ISO-8859-1");
    std::string converted = mbeToUtf("/data/caf\xe9");
    std::setlocale(LC_CTYPE, "C");
    ::unsetenv("LOCPATH");
    ASSERT_NE(nullptr, set);
    EXPECT_EQ("/data/caf\xc3\xa9", converted);
}

} // namespace
