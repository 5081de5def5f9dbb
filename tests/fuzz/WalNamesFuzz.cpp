// WAL names and the texts they come from: the agent's segment name of a WAL location, the
// time line of a backup label and the version texts it compares; the command line's segment
// names and timeline history files.
//
// Input: one byte choosing the segment size, then lines. The first two lines are a location
// and a time line, every line is also tried as a segment name and a version, and the whole
// text is a history file and a backup label.
#include "FuzzSupport.h"
#include "WalChain.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGVersion.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

using namespace pgulo::fuzz;

namespace {

constexpr std::uint64_t kSegmentSizes[] = {16ull << 20, 1ull << 20, 64ull << 20, 1ull << 30};

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsHexName(const std::string& name) {
    if (name.size() != 24)
        return false;
    for (const char c : name)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The location's segment from the agent, read back by the command line. A size of 0 asks
// the agent for its default.
void CheckLocation(const std::string& location, const std::string& timeLine,
                   std::uint64_t askedSize) {
    std::string name;
    if (PGCommon::pg_xlogfile_name(location, timeLine, askedSize, name) != 0)
        return;
    const std::uint64_t segmentSize = askedSize == 0 ? kSegmentSizes[0] : askedSize;
    FUZZ_CHECK(IsHexName(name));
    unsigned high = 0, low = 0;
    FUZZ_CHECK(std::sscanf(location.c_str(), " %x/%x", &high, &low) == 2);
    const std::uint64_t point = static_cast<std::uint64_t>(high) << 32 | low;
    std::uint32_t timeline = 0;
    std::uint64_t segment = 0;
    if (WalChain::ParseSegment(name, timeline, segment, segmentSize))
        FUZZ_CHECK(segment == (point - 1) / segmentSize);
}

void CheckSegmentName(const std::string& name, std::uint64_t segmentSize) {
    std::uint32_t timeline = 0;
    std::uint64_t segment = 0;
    if (!WalChain::ParseSegment(name, timeline, segment, segmentSize))
        return;
    FUZZ_CHECK(timeline != 0);
    FUZZ_CHECK(WalChain::SegmentName(timeline, segment, segmentSize) == Upper(name));
}

void CheckHistory(const std::string& text) {
    std::vector<WalChain::Switch> switches;
    if (!WalChain::ParseHistory(text, switches))
        return;
    // Written back in the server's form, the switches read the same.
    std::string written;
    for (const WalChain::Switch& s : switches) {
        FUZZ_CHECK(s.parent != 0);
        char line[64];
        std::snprintf(line, sizeof line, "%" PRIu32 "\t%X/%X\tno recovery target specified\n",
                      s.parent, static_cast<unsigned>(s.lsn >> 32),
                      static_cast<unsigned>(s.lsn & 0xFFFFFFFFu));
        written += line;
    }
    std::vector<WalChain::Switch> again;
    FUZZ_CHECK(WalChain::ParseHistory(written, again));
    FUZZ_CHECK(again.size() == switches.size());
    for (std::size_t i = 0; i < again.size(); ++i)
        FUZZ_CHECK(again[i].parent == switches[i].parent && again[i].lsn == switches[i].lsn);
}

void CheckBackupLabel(const std::string& text) {
    const std::string path = ScratchDirectory() + "/backup_label";
    WriteFile(path, text);
    std::string timeLine;
    if (PGCommon::getTimeLineID(path, timeLine) != 0)
        return;
    FUZZ_CHECK(timeLine.size() == 8 && text.find("(file " + timeLine) != std::string::npos);
}

void CheckVersions(const std::string& a, const std::string& b) {
    FUZZ_CHECK(PGCommon::PGMajorCompareVersion(a, b, ".") ==
               -PGCommon::PGMajorCompareVersion(b, a, "."));
    FUZZ_CHECK(PGVersionNumFromText(a) >= 0);
    const std::string extracted = PGCommon::ExtractVersionFromString(a);
    FUZZ_CHECK(extracted.find_first_not_of("0123456789.") == std::string::npos);
    PGCommon::IsPGVersion10(a);
    PGCommon::IsOldPGVersion(a);
    PGCommon::GetQueryForXLogFileName(a, b);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint64_t segmentSize = kSegmentSizes[data[0] % 4];
    const std::string text = Text(data + 1, size - 1);
    const std::vector<std::string> lines = Lines(text);

    const std::string location = lines.empty() ? std::string() : lines[0];
    const std::string timeLine = lines.size() < 2 ? std::string() : lines[1];
    CheckLocation(location, timeLine, segmentSize);
    CheckLocation(location, timeLine, 0);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        CheckSegmentName(lines[i], segmentSize);
        PGCommon::IsCopiedFile(lines[i]);
        CheckVersions(lines[i], lines[(i + 1) % lines.size()]);
    }
    CheckHistory(text);
    CheckBackupLabel(text);
    return 0;
}
