// The recovery target time a user types, and the catalogue's time texts read back.
#include "FuzzSupport.h"
#include "TimeText.h"

using namespace pgulo::fuzz;

namespace {

// Years before 1000 have fewer than four digits in the server's text, which the parser
// does not take; the server needs no such target.
constexpr std::int64_t kYear1000Micros = -30610224000LL * 1000000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int64_t micros = 0;
    if (!TimeText::Parse(Text(data, size), micros))
        return 0;
    // The server's text of a point in time names the same point.
    const std::string forServer = TimeText::ForServer(micros);
    std::int64_t again = 0;
    const bool parsed = TimeText::Parse(forServer, again);
    FUZZ_CHECK(parsed || micros < kYear1000Micros);
    FUZZ_CHECK(!parsed || again == micros);
    TimeText::Local(micros);
    TimeText::IdStem(micros);
    return 0;
}
