// Collect file generation: the walk over the configuration files, the data directory and
// everything reached through its links.
#include "fsbackup/PGFsBackup.h"

#include "common/PGGuard.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelGenerate = "PGFsBackup :: GenerateCollectFile";
const char* const kLabelProcessNode = "PGFsBackup :: ProcessNode";
const char* const kLabelProcessNewNode = "PGFsBackup :: ProcessNewNode";
const char* const kLabelDumpFileList = "PGFsBackup :: DumpFileList";
const char* const kLabelDumpNewFileList = "PGFsBackup :: DumpNewFileList";
const char* const kLabelGetActualPath = "::getActualPath";

// A path the kernel takes in one call; longer ones are reached component by component.
bool FitsOneCall(const std::string& path) {
    return path.size() < PATH_MAX;
}

// Opens a directory however long its path is. -1 with errno on failure.
int OpenDirectoryFd(const std::string& path) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (FitsOneCall(path))
        return ::open(path.c_str(), flags);
    int fd = ::open(path[0] == '/' ? "/" : ".", flags);
    std::string::size_type begin = 0;
    while (fd >= 0 && begin < path.size()) {
        std::string::size_type end = path.find('/', begin);
        if (end == std::string::npos)
            end = path.size();
        if (end > begin) {
            const std::string component = path.substr(begin, end - begin);
            const int next = ::openat(fd, component.c_str(), flags);
            const int savedErrno = errno;
            ::close(fd);
            errno = savedErrno;
            fd = next;
        }
        begin = end + 1;
    }
    return fd;
}

// Runs call(directory fd, last component) for a path too long for one system call.
template <class Call> int AtParent(const std::string& path, Call&& call) {
    const std::string::size_type slash = path.find_last_of('/');
    const std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    const UniqueFd fd(OpenDirectoryFd(parent));
    if (!fd)
        return -1;
    return call(fd.get(), path.c_str() + slash + 1);
}

int LstatAnyLength(const std::string& path, struct stat* st) {
    if (FitsOneCall(path) || path.find('/') == std::string::npos)
        return ::lstat(path.c_str(), st);
    return AtParent(path, [st](int fd, const char* name) {
        return ::fstatat(fd, name, st, AT_SYMLINK_NOFOLLOW);
    });
}

DIR* OpenDirAnyLength(const std::string& path) {
    if (FitsOneCall(path))
        return ::opendir(path.c_str());
    const int fd = OpenDirectoryFd(path);
    if (fd < 0)
        return nullptr;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int savedErrno = errno;
        ::close(fd);
        errno = savedErrno;
    }
    return dir;
}

// The link's target however long it is. False with errno when it cannot be read.
bool ReadLinkTarget(const std::string& path, std::string& target) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length =
            FitsOneCall(path) || path.find('/') == std::string::npos
                ? ::readlink(path.c_str(), buffer.data(), buffer.size())
                : AtParent(path, [&buffer](int fd, const char* name) {
                      return static_cast<int>(::readlinkat(fd, name, buffer.data(), buffer.size()));
                  });
        if (length < 0)
            return false;
        if (static_cast<std::size_t>(length) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// A relative target names a place relative to the directory that holds the link.
std::string ResolveAgainstLinkDirectory(const std::string& linkPath, const std::string& target) {
    if (!target.empty() && target[0] == '/')
        return target;
    const std::string::size_type slash = linkPath.find_last_of('/');
    if (slash == std::string::npos)
        return target;
    return linkPath.substr(0, slash + 1) + target;
}

// One configuration file of the server that the host must copy besides the data directory.
struct ServerFile {
    const char* setting;
    const char* readError;
    const char* readFailure;
    const char* missingError;
    const char* missingFailure;
    const char* pathFailure;
};

const ServerFile kServerFiles[] = {
    {"config_file", "eRRoR -- Could not obtain the config_file",
     "config_file could not be obtained",
     "Config file[%s] is missing or could not be read. errno:%d", "Config file is missing",
     "Failed to obtain Config file Path"},
    {"hba_file", "eRRoR -- Could not obtain the hba_file", "hba_filecould not be obtained",
     "hba_file[%s] is missing or could not be read. errno:%d", "hbafile is missing",
     "Failed to obtain hba file Path"},
    {"ident_file", "eRRoR -- Could not obtain the ident_file", "ident_file could not be obtained",
     "ident_file[%s] is missing or could not be read. errno:%d", "ident_file is missing",
     "Failed to obtain ident file Path"},
};

} // namespace

// The walk keeps an explicit stack instead of recursing, so a deep tree cannot exhaust the
// thread's stack. Per level it holds the path and the sub-directory records of the listing
// being worked on; file entries are written as they are read. A listing is closed once it
// has been read, so only listings suspended while a link is followed keep a descriptor.
class PGFsBackup::Walk {
public:
    Walk(PGFsBackup& job, WalkMode mode)
        : job_(job), mode_(mode),
          walDir_(job.ClusterDir_m + "/" + PGCommon::GetPGXlogFolder(job.ServerVersion_m)) {}

    // ProcessNode (or ProcessNewNode) of one path.
    void Node(const std::string& path, const struct stat& st, bool exclude) {
        if (S_ISREG(st.st_mode)) {
            if (mode_ == WalkMode::Restart && job_.isBackedUp(path.c_str()))
                return;
            job_.TotalBytes_m += static_cast<unsigned long long>(st.st_size);
            job_.CollectFileManager_m->WriteToCollect(path.c_str(), &st);
        } else if (S_ISDIR(st.st_mode)) {
            EnterDirectory(path, st, exclude);
        } else if (S_ISLNK(st.st_mode)) {
            FollowLink(path, st, exclude);
        }
    }

    // DumpFileList (or DumpNewFileList) of one directory: opens the listing.
    void Listing(const std::string& dirPath, bool exclude) {
        const char* const label =
            mode_ == WalkMode::Restart ? kLabelDumpNewFileList : kLabelDumpFileList;
        g_log.Debug(label, " DirPath = [%s] : WalDir [%s]: ClusterDir_m = [%s]", dirPath.c_str(),
                    job_.WalArchiveDir_m.c_str(), job_.ClusterDir_m.c_str());
        const bool excluded =
            exclude || (job_.Exclude_m && (dirPath == walDir_ || dirPath == job_.WalArchiveDir_m));
        UniqueDir dir(OpenDirAnyLength(dirPath));
        if (!dir) {
            if (errno == ENOENT)
                return;
            g_log.Error(label, "eRRoR -- opendir failed on [%s]. errno:%d", dirPath.c_str(), errno);
            throw PGException(label, PG_EXCEPTION_SYSTEM, "opendir failed");
        }
        struct stat st {};
        if (::fstat(::dirfd(dir.get()), &st) == 0)
            job_.WalkedDirectories_m.emplace(st.st_dev, st.st_ino);
        stack_.push_back(Frame{dirPath, std::move(dir), excluded, {}, 0});
    }

    // Works the stack off: each listing's entries, then its sub-directories in order.
    void Run() {
        std::string fullPath;
        while (!stack_.empty()) {
            Frame& frame = stack_.back();
            if (frame.dir) {
                errno = 0;
                const struct dirent* entry = ::readdir(frame.dir.get());
                if (entry == nullptr) {
                    // The end, or a read error: the listing stops either way.
                    frame.dir.reset();
                    continue;
                }
                job_.CheckForQuitFlag();
                const char* name = entry->d_name;
                if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                    continue;
                fullPath.assign(frame.path);
                fullPath += '/';
                fullPath += name;
                struct stat st {};
                // The same answer as lstat of the full path, without resolving it again.
                if (::fstatat(::dirfd(frame.dir.get()), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                if (S_ISDIR(st.st_mode)) {
                    frame.subdirs.push_back(SubDir{fullPath, st});
                    continue;
                }
                if (frame.excluded) {
                    g_log.DebugLvl(kLabelDumpFileList, 2, "Excluding [%s]", fullPath.c_str());
                    continue;
                }
                if (S_ISREG(st.st_mode))
                    job_.addToDirchange(name, 1);
                // May push the listing of a link's target; frame is not used after this.
                Node(fullPath, st, false);
            } else if (frame.next < frame.subdirs.size()) {
                SubDir sub = std::move(frame.subdirs[frame.next++]);
                const bool exclude = frame.excluded;
                Node(sub.path, sub.st, exclude);
            } else {
                stack_.pop_back();
            }
        }
    }

private:
    struct SubDir {
        std::string path;
        struct stat st;
    };
    struct Frame {
        std::string path;
        UniqueDir dir;
        // Files of this listing are left out; its sub-directories inherit the flag.
        bool excluded;
        std::vector<SubDir> subdirs;
        std::size_t next;
    };

    void EnterDirectory(const std::string& path, const struct stat& st, bool exclude) {
        // A link back into the tree would otherwise make the walk go round for ever.
        if (!job_.WalkedDirectories_m.emplace(st.st_dev, st.st_ino).second) {
            g_log.Debug(mode_ == WalkMode::Restart ? kLabelProcessNewNode : kLabelProcessNode,
                        "Directory [%s] was walked already; not entering it again", path.c_str());
            return;
        }
        if (mode_ == WalkMode::Restart) {
            g_log.DebugLvl(kLabelProcessNewNode, 2, "Processing directory %s", path.c_str());
            if (!job_.isBackedUp(path.c_str()))
                job_.CollectFileManager_m->WriteToCollect(path.c_str(), &st);
        } else {
            job_.CollectFileManager_m->WriteToCollect(path.c_str(), &st);
        }
        job_.addToDirchange(path.c_str(), 0);
        Listing(path, exclude);
    }

    // The link is listed, then followed; a chain of links is followed link by link.
    void FollowLink(const std::string& path, const struct stat& st, bool exclude) {
        const char* const label =
            mode_ == WalkMode::Restart ? kLabelProcessNewNode : kLabelProcessNode;
        std::set<std::pair<dev_t, ino_t>> chain;
        std::string linkPath = path;
        struct stat linkStat = st;
        for (;;) {
            if (mode_ == WalkMode::Normal || !job_.isBackedUp(linkPath.c_str()))
                job_.CollectFileManager_m->WriteToCollect(linkPath.c_str(), &linkStat);
            if (!chain.emplace(linkStat.st_dev, linkStat.st_ino).second) {
                g_log.Debug(label, "Link [%s] leads back to itself; not following it again",
                            linkPath.c_str());
                return;
            }
            std::string target;
            if (!ReadLinkTarget(linkPath, target)) {
                g_log.Error(label, "readlink failed for %s. errno:%d", linkPath.c_str(), errno);
                return;
            }
            const std::string resolved = ResolveAgainstLinkDirectory(linkPath, target);
            struct stat targetStat {};
            if (LstatAnyLength(resolved, &targetStat) != 0)
                return;
            job_.UpdateFolderList(resolved.c_str());
            if (!S_ISLNK(targetStat.st_mode)) {
                Node(resolved, targetStat, exclude);
                return;
            }
            linkPath = resolved;
            linkStat = targetStat;
        }
    }

    PGFsBackup& job_;
    WalkMode mode_;
    std::string walDir_;
    std::vector<Frame> stack_;
};

void PGFsBackup::RunWalk(const char* path, const struct stat* st, bool exclude, WalkMode mode) {
    if (path == nullptr || st == nullptr)
        return;
    if (!CollectFileManager_m) {
        throw PGException(mode == WalkMode::Restart ? kLabelProcessNewNode : kLabelProcessNode,
                          PG_EXCEPTION_APPLICATION, "No collect file manager");
    }
    Walk walk(*this, mode);
    walk.Node(path, *st, exclude);
    walk.Run();
}

void PGFsBackup::RunListing(const char* dirPath, bool exclude, WalkMode mode) {
    if (dirPath == nullptr)
        return;
    if (!CollectFileManager_m) {
        throw PGException(mode == WalkMode::Restart ? kLabelDumpNewFileList : kLabelDumpFileList,
                          PG_EXCEPTION_APPLICATION, "No collect file manager");
    }
    Walk walk(*this, mode);
    walk.Listing(dirPath, exclude);
    walk.Run();
}

void PGFsBackup::ProcessNode(const char* path, const struct stat* st, bool exclude) {
    PGGuard::Rethrow(g_log, kLabelProcessNode,
                     [&] { RunWalk(path, st, exclude, WalkMode::Normal); });
}

void PGFsBackup::DumpFileList(const char* dirPath, bool exclude) {
    PGGuard::Rethrow(g_log, kLabelDumpFileList,
                     [&] { RunListing(dirPath, exclude, WalkMode::Normal); });
}

void PGFsBackup::ProcessNewNode(const char* path, const struct stat* st, bool exclude) {
    PGGuard::Rethrow(g_log, kLabelProcessNewNode,
                     [&] { RunWalk(path, st, exclude, WalkMode::Restart); });
}

void PGFsBackup::DumpNewFileList(const char* dirPath, bool exclude) {
    PGGuard::Rethrow(g_log, kLabelDumpNewFileList,
                     [&] { RunListing(dirPath, exclude, WalkMode::Restart); });
}

// ---------------------------------------------------------------------------------------
// The DirChange file

void PGFsBackup::OpenDirChangeFile() {
    DirChangeFile_m = UniqueFile::Open(DirChangeFilePath_m, "wb");
    if (!DirChangeFile_m) {
        g_log.Debug(kLabelGenerate, "DirChange file %s couldn't be opened ",
                    DirChangeFilePath_m.c_str());
    }
}

int PGFsBackup::addToDirchange(const char* text, int withTab) {
    if (!DirChangeFile_m || text == nullptr)
        return 0;
    FILE* file = DirChangeFile_m.get();
    if ((withTab != 0 && std::fputc('\t', file) == EOF) || std::fputs(text, file) == EOF ||
        std::fputc('\n', file) == EOF) {
        return -1;
    }
    return 0;
}

void PGFsBackup::ParseDataDir(const std::string& dataDir) {
    addToDirchange("Version2", 0);
    addToDirchange("/", 0);
    for (std::string::size_type slash = dataDir.find('/', 1); slash != std::string::npos;
         slash = dataDir.find('/', slash + 1)) {
        addToDirchange(dataDir.substr(0, slash).c_str(), 0);
    }
}

// ---------------------------------------------------------------------------------------
// Generation

void PGFsBackup::CollectServerFiles(WalkMode mode) {
    for (const ServerFile& file : kServerFiles) {
        std::string value;
        if (!ReadServerSetting(file.setting, &value)) {
            g_log.Error(kLabelGenerate, "%s", file.readError);
            throw PGException(kLabelGenerate, PG_EXCEPTION_POSTGRE, file.readFailure);
        }
        struct stat st {};
        if (::lstat(value.c_str(), &st) != 0) {
            g_log.Error(kLabelGenerate, file.missingError, value.c_str(), errno);
            throw PGException(kLabelGenerate, PG_EXCEPTION_POSTGRE, file.missingFailure);
        }
        std::string actual = value;
        if (getActualPath(value, actual) != 0) {
            g_log.Error(kLabelGenerate, "::getActualPath failed for %s", value.c_str());
            const std::string text = "Could not find the actual path for " + value + " file";
            PGLastError(text.c_str());
            throw PGException(kLabelGenerate, PG_EXCEPTION_POSTGRE, file.pathFailure);
        }
        g_log.DebugLvl(kLabelGenerate, 2, "Follow link %s  ----   %s", value.c_str(),
                       actual.c_str());
        if (mode == WalkMode::Restart)
            ProcessNewNode(actual.c_str(), &st, false);
        else
            ProcessNode(actual.c_str(), &st, false);
    }

    std::string dataDir;
    if (!ReadServerSetting("data_directory", &dataDir)) {
        g_log.Error(kLabelGenerate, "eRRoR -- Could not obtain the data_dir");
        throw PGException(kLabelGenerate, PG_EXCEPTION_POSTGRE, "data_dir could not be obtained");
    }
    struct stat st {};
    if (::lstat(dataDir.c_str(), &st) != 0) {
        g_log.Error(kLabelGenerate, "data_dir[%s] is missing or could not be read. errno:%d",
                    dataDir.c_str(), errno);
        throw PGException(kLabelGenerate, PG_EXCEPTION_POSTGRE, "data_dir is missing");
    }
    if (mode == WalkMode::Restart) {
        ProcessNewNode(dataDir.c_str(), &st, false);
    } else {
        ParseDataDir(dataDir);
        ProcessNode(dataDir.c_str(), &st, false);
    }
}

PGFsBackup::CollectSession::CollectSession(PGFsBackup& job, bool restart) : job_(job) {
    job_.WalkedDirectories_m.clear();
    job_.CollectFileManager_m = std::make_unique<PGUlo::CollectFileManager>(
        job_.JobResultsDir_m, PG_BACKUP_TYPE_FULL, job_.JobId_m, 1, 0, restart);
    job_.OpenDirChangeFile();
}

PGFsBackup::CollectSession::~CollectSession() {
    job_.CollectFileManager_m.reset();
    job_.DirChangeFile_m.close();
}

void PGFsBackup::GenerateCollectFile(unsigned long long* collectFileCount,
                                     unsigned long long* fileCount) {
    PGGuard::Rethrow(g_log, kLabelGenerate, [&] {
        g_log.Debug(kLabelGenerate, "JobResultsDir_m[%s]", JobResultsDir_m.c_str());
        CollectSession session(*this, false);

        CollectServerFiles(WalkMode::Normal);

        g_log.Debug(kLabelGenerate, "Getting collectfile size");
        CollectFileManager_m->FlushCollectFiles();
        const std::string current = CollectFileManager_m->GetCurrentCollectFilePath();
        if (current.empty())
            g_log.Debug(kLabelGenerate, "No collect file was written");
        else
            PGUlo::CollectFileManager::CheckCollectFileSize(current);
        g_log.Debug(kLabelGenerate, "Getting collectfile count");
        if (collectFileCount != nullptr)
            *collectFileCount =
                static_cast<unsigned long long>(CollectFileManager_m->GetCollectFileCount());
        g_log.Debug(kLabelGenerate, "Getting number of files to backup");
        if (fileCount != nullptr)
            *fileCount = CollectFileManager_m->GetNoOfFilesToBackup();
        CollectFileManager_m.reset();
        if (DirChangeFile_m &&
            (std::ferror(DirChangeFile_m.get()) != 0 || DirChangeFile_m.close() != 0))
            g_log.Debug(kLabelGenerate, "DirChange file %s could not be written completely",
                        DirChangeFilePath_m.c_str());
        g_log.Debug(kLabelGenerate, "Exit");
    });
}

// ---------------------------------------------------------------------------------------
// Physical path of a file

int getActualPath(const std::string& path, std::string& actual) {
    const std::string::size_type slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return 0;
    const std::string directory = slash == 0 ? std::string("/") : path.substr(0, slash);
    const std::string last = path.substr(slash + 1);
    g_log.Debug(kLabelGetActualPath, "File %s --- Dir %s", path.c_str(), directory.c_str());
    if (directory == "/") {
        actual = path;
        return 0;
    }
    if (::access(directory.c_str(), X_OK) != 0) {
        g_log.DebugLvl(kLabelGetActualPath, 1, "followlink %s: access failed, errno %d\n",
                       path.c_str(), errno);
        actual = directory;
        return -1;
    }
    // realpath gives the physical directory that a chdir into it and getcwd would, without
    // touching the process's working directory.
    std::unique_ptr<char, decltype(&std::free)> physical(::realpath(directory.c_str(), nullptr),
                                                         &std::free);
    if (!physical) {
        g_log.DebugLvl(kLabelGetActualPath, 1, "followlink %s: chdir %s failed, errno %d\n",
                       path.c_str(), directory.c_str(), errno);
        return -1;
    }
    const std::string physicalDir = physical.get();
    actual = physicalDir == "/" ? "/" + last : physicalDir + "/" + last;
    return 0;
}
