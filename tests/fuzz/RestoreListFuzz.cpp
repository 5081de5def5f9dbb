// The table of contents pg_restore --list prints, read back to keep the entries of the
// objects chosen for restore.
#include "FuzzSupport.h"
#include "pgulo/Parse_selectedItems.h"
#include "pgulo/postgresRestoreObjects.h"

#include <set>

using namespace pgulo::fuzz;

namespace {

// No libpq is loaded from here, so the target database is never reached and a schema
// counts as missing there.
const char* const kNoLibDir = "/nonexistent/pgulo-fuzz/lib";

const std::vector<object_type> kChosen = {
    {"orders", "TABLE", "app"},
    {"price", "FUNCTION", "app"},
    {"orders_id_seq", "SEQUENCE", "app"},
    {"my table", "TABLE", "app"},
    {"app", "SCHEMA", "app"},
    {"public", "SCHEMA", "public"},
};

std::vector<std::string> HeaderLines(const std::vector<std::string>& lines) {
    std::vector<std::string> header;
    for (const std::string& line : lines)
        if (line.compare(0, 1, ";") == 0)
            header.push_back(line);
    return header;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = Text(data, size);
    const std::string& work = ScratchDirectory();
    const std::string listPath = work + "/list.txt";
    WriteFile(listPath, input);

    // A database created afresh from an old dump keeps the dump's procedural languages.
    LangInstallFlag = size % 2;
    postgresRestoreObjects restore;
    FUZZ_CHECK(restore.init(kNoLibDir, "", "/nonexistent/pgulo-fuzz/bin", "postgres", "", "1",
                            "target", work + "/shop.dump", work, "15.8") == 0);
    FUZZ_CHECK(restore.setObjectsListfile(listPath) == 0);
    for (const object_type& object : kChosen)
        restore.addObjects(object);
    FUZZ_CHECK(restore.setObjectsList() == 0);

    std::string editedPath;
    restore.getEditObjectListfile(editedPath);
    const std::vector<std::string> listed = Lines(input);
    const std::vector<std::string> edited = Lines(ReadFile(editedPath));
    // The edit only keeps lines of the list, and every header line in its place.
    const std::set<std::string> known(listed.begin(), listed.end());
    for (const std::string& line : edited)
        FUZZ_CHECK(known.count(line) == 1);
    FUZZ_CHECK(HeaderLines(edited) == HeaderLines(listed));
    LangInstallFlag = 0;
    return 0;
}
