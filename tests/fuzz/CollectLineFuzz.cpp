// The collect file line codec: the agent writes escaped lines, the host and the agent's own
// log backup prune read them back.
#include "CollectFile.h"
#include "FuzzSupport.h"
#include "fsbackup/CollectFileManager.h"
#include "pgulo/host/UniqueFd.h"

#include <cstdio>

using PGUlo::CollectFileManager;
using namespace pgulo::fuzz;

namespace {

// The agent's reader: what PruneCollectFile sees of each line.
std::vector<std::string> AgentRead(const std::string& path) {
    UniqueFile file = UniqueFile::Open(path, "r");
    FUZZ_CHECK(file);
    std::vector<std::string> paths;
    std::string line;
    while (UniqueFile::ReadLine(file.get(), line))
        paths.push_back(CollectFileManager::DecodeCollectLine(line));
    return paths;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = Text(data, size);

    // Both decoders read any text alike.
    FUZZ_CHECK(CollectFileManager::DecodeCollectLine(input) == CollectFile::Unescape(input));

    // What the agent writes is one line that both read back as it was.
    const std::string line = CollectFileManager::removeSpecialChar(input);
    FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
    FUZZ_CHECK(CollectFileManager::DecodeCollectLine(line) == input);
    FUZZ_CHECK(CollectFile::Unescape(line) == input);

    // A whole file, read by the host and by the agent.
    const std::string path = ScratchDirectory() + "/CollectTot1.kxf";
    WriteFile(path, input);
    const std::vector<std::string> host = CollectFile::Read(path);
    const std::vector<std::string> agent = AgentRead(path);
    FUZZ_CHECK(host.size() <= agent.size());

    // Paths written one per line come back one per line, in order.
    std::string file;
    for (const std::string& text : Lines(input))
        file += CollectFileManager::removeSpecialChar(text) + "\n";
    WriteFile(path, file);
    const std::vector<std::string> lines = Lines(input);
    FUZZ_CHECK(AgentRead(path) == lines);
    std::vector<std::string> nonEmpty;
    for (const std::string& text : lines)
        if (!text.empty())
            nonEmpty.push_back(text);
    FUZZ_CHECK(CollectFile::Read(path) == nonEmpty);
    return 0;
}
