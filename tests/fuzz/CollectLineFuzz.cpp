// The collect file line codec: the agent encodes each path into one line, and the host and the
// agent's own log backup prune decode it; what is written must read back as it was.
#include "CollectFile.h"
#include "FuzzSupport.h"
#include "pgulo/host/CollectLine.h"

using namespace pgulo::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = Text(data, size);

    // Any text decodes, and decoding never makes it longer.
    FUZZ_CHECK(CollectLine::Decode(input).size() <= input.size());

    // An encoded path is one line that decodes to the path.
    const std::string line = CollectLine::Encode(input);
    FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
    FUZZ_CHECK(CollectLine::Decode(line) == input);

    // Paths written one per line come back from the file one per line, in order (the host
    // skips empty lines).
    std::string file;
    std::vector<std::string> nonEmpty;
    for (const std::string& text : Lines(input)) {
        file += CollectLine::Encode(text) + "\n";
        if (!text.empty())
            nonEmpty.push_back(text);
    }
    const std::string path = ScratchDirectory() + "/CollectTot1.kxf";
    WriteFile(path, file);
    FUZZ_CHECK(CollectFile::Read(path) == nonEmpty);
    return 0;
}
