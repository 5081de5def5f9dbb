#include "pgulo/PGCommon.h"

#include "pgulo/PGText.h"
#include "pgulo/PGVersion.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/UniqueFd.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstring>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelXlogFileName = "PGCommon :: pg_xlogfile_name";
const char* const kLabelTimeLine = "PGCommon :: getTimeLineID";

constexpr std::uint64_t kLogIdSpan = 0x100000000ULL;

void SkipBlanks(const std::string& text, std::string::size_type& pos) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos])))
        ++pos;
}

// "hi/lo" as the server prints a WAL location, blanks allowed around it.
bool ParseLocation(const std::string& text, std::uint64_t& location) {
    std::string::size_type pos = 0;
    std::uint32_t high = 0;
    std::uint32_t low = 0;
    SkipBlanks(text, pos);
    if (!PGText::ReadHex32(text, pos, high))
        return false;
    if (pos >= text.size() || text[pos] != '/')
        return false;
    ++pos;
    if (!PGText::ReadHex32(text, pos, low))
        return false;
    SkipBlanks(text, pos);
    if (pos != text.size())
        return false;
    location = (static_cast<std::uint64_t>(high) << 32) | low;
    return true;
}

// The leading decimal number of a version text (blanks skipped), saturated; 0 without digits.
long LeadingNumber(const std::string& text) {
    std::string::size_type pos = 0;
    SkipBlanks(text, pos);
    long value = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        if (value < 1000000)
            value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return value;
}

// What sscanf("%d") would read: blanks, an optional sign, digits. False without digits.
bool ReadInt(const std::string& text, std::string::size_type& pos, long& value) {
    SkipBlanks(text, pos);
    bool negative = false;
    std::string::size_type p = pos;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        negative = text[p] == '-';
        ++p;
    }
    if (p >= text.size() || !std::isdigit(static_cast<unsigned char>(text[p])))
        return false;
    long result = 0;
    while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p]))) {
        if (result < 1000000000L)
            result = result * 10 + (text[p] - '0');
        ++p;
    }
    pos = p;
    value = negative ? -result : result;
    return true;
}

// Major and minor of a version text under the pattern "%d" + separator + "%d"; what cannot be
// read counts as 0.
void ReadMajorMinor(const std::string& text, const std::string& separator, long& major,
                    long& minor) {
    major = 0;
    minor = 0;
    std::string::size_type pos = 0;
    if (!ReadInt(text, pos, major))
        return;
    if (text.compare(pos, separator.size(), separator) != 0)
        return;
    pos += separator.size();
    ReadInt(text, pos, minor);
}

int Sign(long a, long b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

} // namespace

int PGCommon::pg_xlogfile_name(const std::string& location, const std::string& timeLine,
                               std::uint64_t segmentSize, std::string& name) {
    if (segmentSize == 0)
        segmentSize = PGText::kDefaultWalSegmentSize;
    // A size that does not divide a log id would give names the server never writes, and one
    // above 4 GiB would divide by zero below.
    if (!PGText::IsPowerOfTwo(segmentSize) || segmentSize > kLogIdSpan) {
        g_log.Error(kLabelXlogFileName, "eRRoR -- Unusable WAL segment size %" PRIu64, segmentSize);
        return -1;
    }
    const std::uint64_t segmentsPerLogId = kLogIdSpan / segmentSize;

    // The time line is the hexadecimal part of a segment file name (getTimeLineID).
    std::uint32_t timeLineId = 0;
    std::string::size_type pos = 0;
    SkipBlanks(timeLine, pos);
    if (pos < timeLine.size() && PGText::HexDigit(timeLine[pos]) >= 0 &&
        !PGText::ReadHex32(timeLine, pos, timeLineId)) {
        g_log.Error(kLabelXlogFileName, "eRRoR -- Time line [%s] does not fit 32 bits",
                    timeLine.c_str());
        return -1;
    }

    g_log.Debug(kLabelXlogFileName, "Input [%s]", location.c_str());
    g_log.DebugLvl(kLabelXlogFileName, 2, "XLogSegmentsPerXLogId = %" PRIu64, segmentsPerLogId);

    std::uint64_t locationPoint = 0;
    if (!ParseLocation(location, locationPoint)) {
        g_log.Error(kLabelXlogFileName, "eRRoR -- Unable to read WAL location [%s]",
                    location.c_str());
        return -1;
    }
    g_log.DebugLvl(kLabelXlogFileName, 2, "locationpoint %" PRIu64, locationPoint);
    // No byte lies before the very first location; wrapping around would name a segment at
    // the far end of the address space.
    if (locationPoint == 0) {
        g_log.Error(kLabelXlogFileName, "eRRoR -- No WAL byte precedes location [%s]",
                    location.c_str());
        return -1;
    }

    const std::uint64_t segmentNumber = (locationPoint - 1) / segmentSize;
    g_log.DebugLvl(kLabelXlogFileName, 2, "xlogsegno %" PRIu64, segmentNumber);
    g_log.DebugLvl(kLabelXlogFileName, 2, "ThisTimeLineID %" PRIu32, timeLineId);

    const std::uint64_t logId = segmentNumber / segmentsPerLogId;
    const std::uint64_t segment = segmentNumber % segmentsPerLogId;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%08" PRIX32 "%08" PRIX32 "%08" PRIX32, timeLineId,
                  static_cast<std::uint32_t>(logId), static_cast<std::uint32_t>(segment));
    g_log.Debug(kLabelXlogFileName, "xlogfilename %s", buffer);
    name = buffer;
    return 0;
}

int PGCommon::getTimeLineID(const std::string& backupLabelPath, std::string& timeLine) {
    UniqueFile file = UniqueFile::Open(backupLabelPath, "r");
    if (!file) {
        g_log.Debug(kLabelTimeLine, "Unable to open backup_label file [%s]. Error [%d]",
                    backupLabelPath.c_str(), errno);
        return -1;
    }
    std::string line;
    errno = 0;
    if (!UniqueFile::ReadLine(file.get(), line)) {
        g_log.Debug(kLabelTimeLine, "Unable to read from backup_label file [%s]. Error [%d]",
                    backupLabelPath.c_str(), errno);
        return -1;
    }
    g_log.DebugLvl(kLabelTimeLine, 2, "backup_label first line [%s]", line.c_str());

    static const std::string kFileMarker = "(file ";
    std::string::size_type found = line.find(kFileMarker);
    if (found == std::string::npos) {
        g_log.Debug(kLabelTimeLine,
                    "Unable to find log file name from backup_label file. Line [%s]", line.c_str());
        return -1;
    }
    std::string digits = line.substr(found + kFileMarker.size(), 8);
    bool allHex = digits.size() == 8;
    for (char c : digits)
        allHex = allHex && PGText::HexDigit(c) >= 0;
    if (!allHex) {
        g_log.Debug(kLabelTimeLine,
                    "Unable to find log file name from backup_label file. Line [%s]", line.c_str());
        return -1;
    }
    timeLine = digits;
    g_log.Debug(kLabelTimeLine, "Time Line ID %s", timeLine.c_str());
    return 0;
}

bool PGCommon::IsOldPGVersion(const std::string& version) {
    return version.compare(0, 3, "8.0") == 0 || version.compare(0, 3, "8.1") == 0;
}

bool PGCommon::IsPGVersion10(const std::string& version) {
    // Read as a decimal number, the version is at least 10.0 exactly when its integer part
    // is; reading only the digits keeps the test independent of the process locale.
    return LeadingNumber(version) >= PG_VERSION_10 / 10000;
}

int PGCommon::PGMajorCompareVersion(const std::string& a, const std::string& b,
                                    const std::string& separator) {
    if (a == b)
        return 0;
    if (a.empty())
        return -1;
    if (b.empty())
        return 1;
    long majorA = 0, minorA = 0, majorB = 0, minorB = 0;
    ReadMajorMinor(a, separator, majorA, minorA);
    ReadMajorMinor(b, separator, majorB, minorB);
    if (majorA != majorB)
        return Sign(majorA, majorB);
    // From release 10 on the major version is a single number.
    if (majorA >= PG_VERSION_10 / 10000)
        return 0;
    return Sign(minorA, minorB);
}

std::string PGCommon::GetQueryForXLogFileName(const std::string& location,
                                              const std::string& version) {
    // Up to release 16 the server names the segment holding the byte before the location;
    // from 17 on, a location on a segment boundary names the segment that begins there, which
    // is still open and never archived while a job waits for it. Asking for the byte before
    // keeps every release on the rule of pg_xlogfile_name above.
    if (PGVersionAtLeast(version, PG_VERSION_17))
        return "select pg_walfile_name ( " + PGCommon::QuoteLiteral(location) + "::pg_lsn - 1 );";
    const char* function = IsPGVersion10(version) ? "pg_walfile_name" : "pg_xlogfile_name";
    return std::string("select ") + function + " ( " + PGCommon::QuoteLiteral(location) + " );";
}

std::string PGCommon::GetPGXlogFolder(const std::string& version) {
    return IsPGVersion10(version) ? "pg_wal" : "pg_xlog";
}

std::string PGCommon::GetQueryForLastXlogReplayLocation(const std::string& version) {
    return IsPGVersion10(version) ? "SELECT pg_last_wal_replay_lsn();"
                                  : "SELECT pg_last_xlog_replay_location();";
}

std::string PGCommon::GetQueryForSwitchXLog(const std::string& version) {
    return IsPGVersion10(version) ? "SELECT pg_switch_wal()" : "SELECT pg_switch_xlog()";
}
