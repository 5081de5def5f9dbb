// The browse paths a user selected for object restore, one per line.
#include "FuzzSupport.h"
#include "pgulo/Parse_selectedItems.h"

#include <set>

using namespace pgulo::fuzz;

namespace {

// No libpq is loaded from here: the target database counts as unreachable, so no query is
// run and every object comes with its schema.
const char* const kNoLibDir = "/nonexistent/pgulo-fuzz/lib";

// "/a/b/c" gives a, b and c.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> components;
    std::string::size_type start = 1;
    for (;;) {
        const std::string::size_type slash = path.find('/', start);
        components.push_back(
            path.substr(start, slash == std::string::npos ? slash : slash - start));
        if (slash == std::string::npos)
            return components;
        start = slash + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> paths = Lines(Text(data, size));
    Parse_selectedItems items;
    FUZZ_CHECK(items.setDb(kNoLibDir, "/nonexistent/pgulo-fuzz/bin", "postgres", "", "db1", "", "1",
                           "15.8") == 0);
    for (const std::string& path : paths)
        FUZZ_CHECK(items.addGUIitems(path) == 0);
    FUZZ_CHECK(items.parse() == 0);

    // Every understood entry is one of the paths, and names its database as the path does.
    const std::set<std::string> selected(paths.begin(), paths.end());
    FUZZ_CHECK(items.ParsedItems().size() <= paths.size());
    for (const Item_prop& item : items.ParsedItems()) {
        FUZZ_CHECK(selected.count(item.path) == 1);
        const std::vector<std::string> components = Components(item.path);
        FUZZ_CHECK(components.size() >= 3 && components[1] == item.database);
        FUZZ_CHECK(item.oid.empty() && item.extra.empty() && !item.type.empty());
    }

    std::size_t restored = 0;
    for (const std::string& database : items.DatabaseList()) {
        std::vector<object_type> objects;
        FUZZ_CHECK(items.getobjects(database, objects, false) == 0);
        restored += objects.size();
    }
    // Each object comes with its schema; a database entry brings nothing.
    FUZZ_CHECK(restored <= 2 * items.ParsedItems().size() * items.DatabaseList().size());
    return 0;
}
