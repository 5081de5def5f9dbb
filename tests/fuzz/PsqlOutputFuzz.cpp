// psql's unaligned output (-A with the agent's field separator), split into columns.
#include "FuzzSupport.h"
#include "pgulo/ExecutePostgre.h"

using namespace pgulo::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string output = Text(data, size);
    const std::vector<std::vector<std::string>> columns = ExecutePostgre::ParsePsqlOutput(output);
    if (columns.empty())
        return 0;
    // One value per line but the footer in every column, its name first.
    std::size_t lines = 0;
    for (const char c : output)
        lines += c == '\n' ? 1 : 0;
    for (const std::vector<std::string>& column : columns)
        FUZZ_CHECK(column.size() == lines - 1);
    return 0;
}
