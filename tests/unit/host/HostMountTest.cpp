#include "pgulo/host/KxMntTab.h"

#include "TempHostHome.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using pgulo::test::TempHostHome;

const KxMntEntry* find(const std::vector<KxMntEntry>& list, const std::string& mountPoint) {
    for (const KxMntEntry& entry : list)
        if (entry.mountPoint == mountPoint)
            return &entry;
    return nullptr;
}

TEST(HostMountTest, ListsRootAndProcWithUnescapedMountPoints) {
    TempHostHome home;
    std::vector<KxMntEntry> list;
    ASSERT_EQ(0, KxMntTab::getAll(list));
    const KxMntEntry* root = find(list, "/");
    ASSERT_NE(nullptr, root);
    struct stat st {};
    ASSERT_EQ(0, ::stat("/", &st));
    EXPECT_EQ(static_cast<unsigned long long>(st.st_dev), root->deviceId);

    const KxMntEntry* proc = find(list, "/proc");
    ASSERT_NE(nullptr, proc);
    EXPECT_EQ("proc", proc->fsType);
    for (const KxMntEntry& entry : list)
        EXPECT_EQ('/', entry.mountPoint.at(0)) << entry.mountPoint;
}

TEST(HostMountTest, UnescapesOctalSequences) {
    const std::pair<const char*, const char*> cases[] = {
        {"/mnt/with\\040blank", "/mnt/with blank"},
        {"/mnt/tab\\011and\\012newline", "/mnt/tab\tand\nnewline"},
        {"/mnt/back\\134slash", "/mnt/back\\slash"},
        {"/mnt/short\\04", "/mnt/short\\04"}, // too short to be a sequence
        {"/mnt/bad\\089", "/mnt/bad\\089"},   // not octal
        {"/mnt/over\\400", "/mnt/over\\400"}, // beyond one byte
        {"/mnt/end\\", "/mnt/end\\"},
    };
    for (const auto& [field, expected] : cases)
        EXPECT_EQ(expected, KxMntTab::unescape(field)) << "field [" << field << "]";
}

} // namespace
