#include "pgulo/host/HostHome.h"
#include "pgulo/host/KXPassword.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using pgulo::test::TempHostHome;
using pgulo::test::TestFiles;

class HostPasswordTest : public ::testing::Test {
protected:
    // Decrypts into a buffer with guard bytes after the part the callee may use.
    int decrypt(const std::string& stored, int size, std::string& clear) {
        std::vector<char> buffer(static_cast<size_t>(size) + 16, '#');
        int length = size;
        int ok = KXPassword(0).decrypt(stored, buffer.data(), &length);
        for (size_t i = static_cast<size_t>(size); i < buffer.size(); ++i)
            EXPECT_EQ('#', buffer[i]) << "byte " << i << " beyond the buffer was written";
        if (ok) {
            EXPECT_EQ('\0', buffer[static_cast<size_t>(length)]);
            clear.assign(buffer.data(), static_cast<size_t>(length));
        }
        return ok;
    }

    TempHostHome home_;
};

TEST_F(HostPasswordTest, RoundTrip) {
    const std::string clear = "s3cr3t 'quoted' \"pass\" word";
    const std::string stored = KXPassword(0).encrypt(clear);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(0u, stored.rfind("v1:", 0));
    EXPECT_EQ(std::string::npos, stored.find("s3cr3t"));
    EXPECT_NE(stored, KXPassword(0).encrypt(clear)) << "every sealing uses a fresh nonce";
    struct stat st {};
    ASSERT_EQ(0, ::stat(HostHome::keyFile().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    std::string opened;
    ASSERT_NE(0, decrypt(stored, 1025, opened));
    EXPECT_EQ(clear, opened);
}

TEST_F(HostPasswordTest, BufferMustHoldTextAndTerminator) {
    const std::string stored = KXPassword(0).encrypt("12345678");
    std::string opened;
    EXPECT_EQ(0, decrypt(stored, 8, opened)) << "no room for the terminating NUL";
    ASSERT_NE(0, decrypt(stored, 9, opened));
    EXPECT_EQ("12345678", opened);

    int length = 0;
    char byte = '#';
    EXPECT_EQ(0, KXPassword(0).decrypt(stored, &byte, &length));
    EXPECT_EQ(0, KXPassword(0).decrypt(stored, nullptr, &length));
    EXPECT_EQ('#', byte);
}

// check() tells what is wrong, so that a host can name the damaged file; decrypt() opens exactly
// what check() finds in order.
TEST_F(HostPasswordTest, CheckTellsWhyAStoredTextDoesNotOpen) {
    const std::string stored = KXPassword(0).encrypt("secret");
    std::string flipped = stored;
    flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == 'A' ? 'B' : 'A';
    const struct {
        const char* what;
        const char* key; // written over the key file first; nullptr keeps it, "-" removes it
        std::string stored;
        int expected;
        int keyState; // what checkKey() says of the key file
    } cases[] = {
        {"intact", nullptr, stored, 0, 0},
        {"empty text", nullptr, "", 0, 0},
        {"altered text", nullptr, flipped, EKEYREJECTED, 0},
        {"no sealed prefix", nullptr, "secret", EBADMSG, 0},
        {"too short", nullptr, "v1:AAAA", EBADMSG, 0},
        {"cut short", nullptr, stored.substr(0, stored.size() - 4), EKEYREJECTED, 0},
        {"other key", "0123456789abcdef0123456789abcdef", stored, EKEYREJECTED, 0},
        {"short key", "0123456789", stored, EINVAL, EINVAL},
        {"no key", "-", stored, ENOENT, ENOENT},
        {"no key, empty text", "-", "", 0, ENOENT},
    };
    const std::string original = TestFiles::Read(HostHome::keyFile());
    ASSERT_EQ(32u, original.size());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestFiles::Write(HostHome::keyFile(), c.key != nullptr ? std::string(c.key) : original);
        if (c.key != nullptr && std::string(c.key) == "-")
            ::unlink(HostHome::keyFile().c_str());
        EXPECT_EQ(c.expected, KXPassword(0).check(c.stored));
        EXPECT_EQ(c.keyState, KXPassword::checkKey());
        std::string opened = "x";
        EXPECT_EQ(c.expected == 0, decrypt(c.stored, 64, opened) != 0);
        if (c.expected == 0) {
            EXPECT_EQ(opened, c.stored.empty() ? "" : "secret");
        }
        EXPECT_EQ(c.keyState == ENOENT, ::access(HostHome::keyFile().c_str(), F_OK) != 0)
            << "decrypt never makes a key";
    }
}

} // namespace
