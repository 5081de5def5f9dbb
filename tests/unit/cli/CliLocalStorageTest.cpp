// The repository's local storage on real files, as an object store's driver must behave too:
// nothing visible before a commit, nothing left by an abandoned write, atomic replacement,
// listing by prefix, removal of many files or a tree, reading ranges.

#include "CliError.h"
#include "LocalStorage.h"
#include "TempTree.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

void Put(Storage& storage, const std::string& path, const std::string& bytes) {
    const std::unique_ptr<StorageWriter> writer = storage.Create(path);
    writer->Write(bytes.data(), bytes.size());
    writer->Commit();
}

std::string Get(const Storage& storage, const std::string& path, std::uint64_t offset,
                std::uint64_t length) {
    const std::unique_ptr<StorageReader> reader = storage.Open(path, offset, length);
    if (!reader)
        return "<missing>";
    std::string text;
    char buffer[2];
    for (std::size_t n; (n = reader->Read(buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    return text;
}

Lines Listed(const Storage& storage, const std::string& prefix) {
    Lines lines;
    for (const Storage::Entry& entry : storage.List(prefix))
        lines.push_back(entry.path + "=" + std::to_string(entry.size));
    return lines;
}

struct Case {
    const char* name;
    std::function<void(Storage&)> act;
    Lines listed; // every file afterwards, with its size
};

class LocalStorageCases : public ::testing::TestWithParam<Case> {};

TEST_P(LocalStorageCases, LeavesWhatIsCommittedAndNothingElse) {
    pgulo::test::TempTree tree("pgulo-localstorage");
    LocalStorage storage(tree.Path("repo"));
    GetParam().act(storage);
    EXPECT_EQ(Listed(storage, ""), GetParam().listed);
}

const Case kCases[] = {
    {"CommittedWriteIsVisibleOnlyOnCommit",
     [](Storage& s) {
         const std::unique_ptr<StorageWriter> writer = s.Create("a/b/f");
         writer->Write("hello", 5);
         EXPECT_FALSE(s.Size("a/b/f"));
         writer->Commit();
         EXPECT_EQ(s.Size("a/b/f"), 5u);
     },
     {"a/b/f=5"}},
    {"AbandonedWriteLeavesNothing",
     [](Storage& s) {
         Put(s, "a/f", "old");
         const std::unique_ptr<StorageWriter> writer = s.Create("a/f");
         writer->Write("new bytes", 9);
     },
     {"a/f=3"}},
    {"WriteLastReplacesWhole",
     [](Storage& s) {
         s.WriteLast("x/manifest", "first");
         s.WriteLast("x/manifest", "second");
         EXPECT_EQ(s.ReadSmall("x/manifest"), "second");
         EXPECT_FALSE(s.ReadSmall("x/none"));
     },
     {"x/manifest=6"}},
    {"WriteNewKeepsTheFirst",
     [](Storage& s) {
         EXPECT_TRUE(s.WriteNew("key", "mine"));
         EXPECT_FALSE(s.WriteNew("key", "theirs"));
         EXPECT_EQ(s.ReadSmall("key"), "mine");
     },
     {"key=4"}},
    {"RemoveTakesManyAndPassesOverMissing",
     [](Storage& s) {
         for (const char* path : {"d/1", "d/2", "d/3"})
             Put(s, path, path);
         s.Remove({"d/1", "d/3", "d/none", "none/at/all"});
     },
     {"d/2=3"}},
    {"RemoveTreeUnlistsBeforeItRemoves",
     [](Storage& s) {
         Put(s, "i/b1/files/x", "xx");
         Put(s, "i/b1/status", "s");
         Put(s, "i/b2/status", "s");
         s.RemoveTree("i/b1", [&s] {
             for (const std::string& name : s.ListChildren("i"))
                 EXPECT_NE(name, "b1/");
         });
     },
     {"i/b2/status=1"}},
    {"LeftoverOfACutShortRemovalIsFinishedByItsName",
     [](Storage& s) {
         Put(s, std::string("i/") + Storage::kUnlistedPrefix + "b1/f", "f");
         EXPECT_EQ(s.ListChildren("i"), Lines{std::string(Storage::kUnlistedPrefix) + "b1/"});
         s.RemoveTree(std::string("i/") + Storage::kUnlistedPrefix + "b1");
     },
     {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, LocalStorageCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

TEST(LocalStorage, ReadsRangesListsPrefixesAndHidesItsPathOnlyWhenAsked) {
    pgulo::test::TempTree tree("pgulo-localstorage");
    LocalStorage storage(tree.Path("repo"));
    Put(storage, "b/files/one", "hello");
    Put(storage, "b/files/sub/two", "");
    Put(storage, "b-1/status", "s");
    Put(storage, "b/status", "st");

    const struct {
        std::uint64_t offset, length;
        const char* read;
    } ranges[] = {{0, 0, "hello"}, {1, 3, "ell"}, {3, 0, "lo"}, {4, 9, "o"}, {5, 0, ""}};
    for (const auto& r : ranges)
        EXPECT_EQ(Get(storage, "b/files/one", r.offset, r.length), r.read) << r.offset;
    EXPECT_EQ(Get(storage, "b/none", 0, 0), "<missing>");

    EXPECT_EQ(Listed(storage, "b"), (Lines{"files/one=5", "files/sub/two=0", "status=2"}));
    EXPECT_EQ(Listed(storage, "b/files/"), (Lines{"one=5", "sub/two=0"}));
    EXPECT_EQ(Listed(storage, "nothing"), Lines{});
    EXPECT_EQ(storage.ListChildren(""), (Lines{"b-1/", "b/"}));
    EXPECT_EQ(storage.ListChildren("b"), (Lines{"files/", "status"}));

    const Storage& plain = storage;
    EXPECT_EQ(plain.LocalPath("b/status"), tree.Path("repo") + "/b/status");
    EXPECT_EQ(LocalStorage(tree.Path("repo"), true).LocalPath("b/status"), "");
    EXPECT_THROW(Storage::Open("ftp://host/prefix"), CliError);
    EXPECT_EQ(Storage::Open(tree.Path("repo"))->LocalPath(""), tree.Path("repo"));
}

} // namespace
