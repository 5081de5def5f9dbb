// The agent's configuration file (<config dir>/postgres_<port>, "token:value" lines) and the
// token reader that takes single values from the agent's bookkeeping files and from
// postgresql.conf.
#include "FuzzSupport.h"
#include "pgulo/PGCommon.h"
#include "pgulo/host/UniqueFd.h"

#include <map>

using namespace pgulo::fuzz;

namespace {

const char* const kTokens[] = {"LABEL:", "PG_WAL_LOG", "data_directory", "async"};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = Text(data, size);
    const std::string& directory = ScratchDirectory();
    WriteFile(directory + "/postgres_5432", input);

    std::map<std::string, std::string> options;
    PGCommon::ReadUserConfiguration(directory, "5432", &options);
    for (const auto& [token, value] : options) {
        FUZZ_CHECK(!token.empty() && token.find(':') == std::string::npos);
        FUZZ_CHECK(!value.empty());
        FUZZ_CHECK(input.find(token + ":" + value) != std::string::npos);
    }

    UniqueFile file = UniqueFile::Open(directory + "/postgres_5432", "r");
    FUZZ_CHECK(file);
    for (const char* token : kTokens) {
        std::string value;
        const int found = PGCommon::ReadTokenFromFile(file.get(), token, &value);
        FUZZ_CHECK(found == 0 || found == 1);
        if (found == 1)
            FUZZ_CHECK(input.find(value) != std::string::npos);
    }
    return 0;
}
