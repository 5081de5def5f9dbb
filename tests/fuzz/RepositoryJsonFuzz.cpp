// The repository's JSON files: a backup's manifest and its status file. Each input is given
// to both loaders.
#include "FuzzSupport.h"
#include "Manifest.h"
#include "Repository.h"

#include <nlohmann/json.hpp>

#include <exception>

using namespace pgulo::fuzz;
using json = nlohmann::json;

namespace {

void LoadManifest(const json& document) {
    Manifest manifest;
    try {
        manifest = Manifest::FromJson(document);
    } catch (const std::exception&) {
        // The listing takes such a backup for an incomplete one.
        return;
    }
    // A manifest read is written and read again unchanged.
    const json written = manifest.ToJson();
    FUZZ_CHECK(Manifest::FromJson(written).ToJson() == written);
}

void LoadStatus(const std::string& text) {
    BackupRecord record;
    try {
        Repository::ParseStatus(text, record);
    } catch (const std::exception&) {
        // The listing judges such a backup by its manifest alone.
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = Text(data, size);
    const json document = json::parse(input, nullptr, false);
    if (!document.is_discarded())
        LoadManifest(document);
    LoadStatus(input);
    return 0;
}
