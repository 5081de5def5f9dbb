// Times the full backup's collect file generation against `find DIR -printf '%p %s\n'` over a
// synthetic data directory of 200,000 files in 2,000 directories.
//
// The walk runs through PGFsBackup::GenerateCollectFile exactly as a backup runs it, on a job
// built without a server (PGFsBackup::OfflineSetup): the four server settings the walk reads
// (config_file, hba_file, ident_file, data_directory) are given directly, everything else is
// the production path (collect file manager, escaping, DirChange file, exclusions, debug log
// at the default level).
//
// Usage: collect_file_bench [tree-directory]   (default /tmp/pgulo-bench-tree; the tree is
// built once and reused). Both sides run once to warm the cache, then 5 times each,
// alternating; the medians are compared.

#include "fsbackup/PGFsBackup.h"
#include "pgulo/host/EvDebug.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kTopDirs = 20;
constexpr int kLeafDirsPerTop = 100; // 2,000 leaf directories
constexpr int kFilesPerLeaf = 100;   // 200,000 files
const char* const kStamp = "pgulo-bench-tree v1 20x100x100";

void Touch(const std::string& path, off_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    // Sparse: sizes vary like relation files without using the disk.
    if (size > 0 && ::ftruncate(fd, size) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    ::close(fd);
}

void BuildTree(const std::string& root) {
    const std::string stampFile = root + "/.stamp";
    std::ifstream stamp(stampFile);
    std::string text;
    if (stamp && std::getline(stamp, text) && text == kStamp) {
        std::printf("reusing tree %s\n", root.c_str());
        return;
    }
    std::printf("building tree %s ...\n", root.c_str());
    fs::remove_all(root);
    const std::string data = root + "/data";
    fs::create_directories(data + "/pg_wal/archive_status");
    fs::create_directories(data + "/global");
    Touch(data + "/PG_VERSION", 3);
    Touch(data + "/postgresql.conf", 30000);
    Touch(data + "/pg_hba.conf", 5000);
    Touch(data + "/pg_ident.conf", 1600);
    for (int i = 1; i <= 8; ++i)
        Touch(data + "/pg_wal/00000001000000000000000" + std::to_string(i), 16 << 20);
    for (int top = 0; top < kTopDirs; ++top) {
        const std::string topDir = data + "/base/" + std::to_string(16384 + top);
        for (int leaf = 0; leaf < kLeafDirsPerTop; ++leaf) {
            const std::string leafDir = topDir + "/s" + std::to_string(leaf);
            fs::create_directories(leafDir);
            for (int file = 0; file < kFilesPerLeaf; ++file) {
                Touch(leafDir + "/" + std::to_string(20000 + file),
                      static_cast<off_t>(8192) * (file % 17));
            }
        }
    }
    std::ofstream(stampFile) << kStamp << "\n";
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double TimeWalk(const std::string& root, const std::string& results, unsigned long long* files) {
    PGFsBackup::OfflineSetup setup;
    setup.jobId = 1;
    setup.jobResultsDir = results;
    setup.archiveLogDir = root + "/archive";
    setup.serverVersion = "14.5";
    const std::string data = root + "/data";
    setup.settings = {{"config_file", data + "/postgresql.conf"},
                      {"hba_file", data + "/pg_hba.conf"},
                      {"ident_file", data + "/pg_ident.conf"},
                      {"data_directory", data}};
    const auto begin = std::chrono::steady_clock::now();
    PGFsBackup job(setup);
    unsigned long long collectFiles = 0;
    job.GenerateCollectFile(&collectFiles, files);
    return Seconds(std::chrono::steady_clock::now() - begin);
}

double TimeFind(const std::string& root) {
    const auto begin = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        const std::string dir = root + "/data";
        ::execlp("find", "find", dir.c_str(), "-printf", "%p %s\n", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "find failed\n");
        std::exit(1);
    }
    return Seconds(std::chrono::steady_clock::now() - begin);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const std::string root = argc > 1 ? argv[1] : "/tmp/pgulo-bench-tree";
    BuildTree(root);
    char homeTemplate[] = "/tmp/pgulo-bench-home-XXXXXX";
    if (::mkdtemp(homeTemplate) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string home = homeTemplate;
    ::setenv("PGULO_HOME", home.c_str(), 1);
    EvDebug::reloadSettings();
    const std::string results = home + "/results";
    fs::create_directories(results);

    unsigned long long files = 0;
    TimeWalk(root, results, &files); // warm-up, both sides
    TimeFind(root);
    std::vector<double> walk;
    std::vector<double> find;
    for (int run = 0; run < 5; ++run) {
        walk.push_back(TimeWalk(root, results, &files));
        find.push_back(TimeFind(root));
    }
    const double walkMedian = Median(walk);
    const double findMedian = Median(find);
    struct rusage self {};
    struct rusage children {};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    std::printf("entries listed:          %llu\n", files);
    std::printf("collect file generation: %.3f s (median of 5)\n", walkMedian);
    std::printf("find -printf:            %.3f s (median of 5)\n", findMedian);
    std::printf("ratio walk/find:         %.2f (goal <= 1.25)\n", walkMedian / findMedian);
    std::printf("peak RSS: bench %ld KiB, find %ld KiB\n", self.ru_maxrss, children.ru_maxrss);
    fs::remove_all(home);
    return 0;
}
