#include "socket_file.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "address.h"
#include "ipc2/errors.h"

namespace zel::proglibs::ipc2::socket {

namespace {

[[noreturn]] void ThrowServe(const std::string& path, const std::string& what) {
    throw ConnectError("cannot serve on " + path + ": " + what);
}

// Whether a server answers on the socket file. Throws when that cannot be told.
bool Answers(const std::string& path) {
    sockaddr_un a;
    MakeAddress(path, a);
    // Without blocking, or a full backlog would hold us here.
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() < 0) ThrowServe(path, "socket: " + ErrnoText(errno));
    int r;
    do {
        r = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return true;
    // A full backlog is a live server too.
    if (errno == EAGAIN) return true;
    if (errno == ECONNREFUSED || errno == ENOENT) return false;
    ThrowServe(path, "cannot tell whether a server answers there: " + ErrnoText(errno));
}

// Refuses a file that is not a socket or that a live server answers on; true when one is there.
bool CheckExisting(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return false;
        ThrowServe(path, ErrnoText(errno));
    }
    if (!S_ISSOCK(st.st_mode)) ThrowServe(path, "the file exists and is not a socket");
    if (Answers(path)) ThrowServe(path, "a live server already answers there");
    return true;
}

// Replaces a stale socket at the path (after CheckExisting).
void RemoveStale(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) ThrowServe(path, "removing the stale socket: " + ErrnoText(errno));
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Refuses a directory whose owner is someone else, or that others may write to without the sticky
// bit: whoever can replace files there can replace our socket with theirs.
void CheckDirectory(const std::string& path) {
    const std::string dir = DirectoryOf(path);
    const uid_t self = ::geteuid();
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) ThrowServe(path, "cannot use " + dir + ": " + ErrnoText(errno));
    // A link is as good as the one who made it, and then as its target.
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != self && st.st_uid != 0)
            ThrowServe(path, dir + " is a symbolic link of uid " + std::to_string(st.st_uid) + ", neither ours nor root's");
        if (::stat(dir.c_str(), &st) != 0) ThrowServe(path, "cannot use " + dir + ": " + ErrnoText(errno));
    }
    if (!S_ISDIR(st.st_mode)) ThrowServe(path, dir + " is not a directory");
    if (st.st_uid != self && st.st_uid != 0)
        ThrowServe(path, dir + " belongs to uid " + std::to_string(st.st_uid) + ", neither us nor root");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        ThrowServe(path, dir + " (mode " + mode + ") may be written by others and is not sticky: they could replace the socket");
    }
}

}  // namespace

std::unique_ptr<SocketFile> SocketFile::Publish(const Options& options) {
    std::unique_ptr<SocketFile> file(new SocketFile(options));
    const std::string& path = options.path;
    sockaddr_un a;
    if (!MakeAddress(path, a)) ThrowServe(path, path.empty() ? "no path" : "the path is too long for a Unix socket");
    CheckDirectory(path);
    CheckExisting(path);
    std::string privateName;
    try {
        privateName = file->BindPrivately();
    } catch (...) {
        if (!file->privateDir_.empty()) ::rmdir(file->privateDir_.c_str());
        throw;
    }
    struct RemovePrivate {
        const std::string& name;
        std::string& dir;
        ~RemovePrivate() {
            if (!name.empty()) ::unlink(name.c_str());
            if (!dir.empty()) ::rmdir(dir.c_str());
            dir.clear();
        }
    } removePrivate{privateName, file->privateDir_};
    if (!privateName.empty()) file->LinkIntoPlace(privateName);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        const int e = errno;
        if (privateName.empty()) ::unlink(path.c_str());  // bound there itself: ours to remove
        ThrowServe(path, "stat: " + ErrnoText(e));
    }
    file->dev_ = st.st_dev;
    file->ino_ = st.st_ino;
    file->published_ = true;
    return file;
}

std::string SocketFile::BindPrivately() {
    const std::string& path = options_.path;
    fd_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd_.get() < 0) ThrowServe(path, "socket: " + ErrnoText(errno));
    // A fresh directory of ours with a name nobody can guess: whatever is done there by name
    // (bind, chmod, chown) cannot be redirected by anyone who may write to the directory we
    // serve in, and nobody can take the name before us.
    std::string temp = DirectoryOf(path) + "/.zel-ipc-XXXXXX";
    std::string name = temp + "/s";
    sockaddr_un a;
    if (MakeAddress(name, a)) {
        if (::mkdtemp(temp.data()) == nullptr) ThrowServe(path, "mkdtemp: " + ErrnoText(errno));
        privateDir_ = temp;
        name = temp + "/s";
        MakeAddress(name, a);
    } else {
        // No room for the detour: bound at the path itself, then given its permissions.
        name.clear();
        RemoveStale(path);
        MakeAddress(path, a);
    }
    const std::string& bound = name.empty() ? path : name;
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ThrowServe(path, "bind: " + ErrnoText(errno));
    struct Undo {
        const std::string& bound;
        bool armed = true;
        ~Undo() {
            if (armed) ::unlink(bound.c_str());
        }
    } undo{bound};
    if (::chmod(bound.c_str(), options_.mode) != 0) ThrowServe(path, "chmod: " + ErrnoText(errno));
    if (options_.group != static_cast<gid_t>(-1) && ::chown(bound.c_str(), static_cast<uid_t>(-1), options_.group) != 0)
        ThrowServe(path, "chgrp: " + ErrnoText(errno));
    if (::listen(fd_.get(), 128) != 0) ThrowServe(path, "listen: " + ErrnoText(errno));
    undo.armed = false;
    return name;
}

void SocketFile::LinkIntoPlace(const std::string& privateName) {
    const std::string& path = options_.path;
    for (int attempt = 0;; ++attempt) {
        if (::link(privateName.c_str(), path.c_str()) == 0) return;
        const int e = errno;
        if (e == EEXIST && attempt < 3) {
            // A file is there: a stale one (its server died) is replaced, a live one never.
            CheckExisting(path);
            RemoveStale(path);
            continue;
        }
        if (e == EPERM || e == ENOTSUP || e == EOPNOTSUPP) {
            // No hard links here: a rename is the next best (it can replace a racing newcomer).
            CheckExisting(path);
            if (::rename(privateName.c_str(), path.c_str()) != 0) ThrowServe(path, "rename: " + ErrnoText(errno));
            return;
        }
        ThrowServe(path, "link: " + ErrnoText(e));
    }
}

SocketFile::~SocketFile() {
    CloseListening();
    Unpublish();
}

void SocketFile::CloseListening() noexcept { fd_ = UniqueFd(); }

bool SocketFile::StillOurs() const noexcept {
    struct stat st;
    return ::lstat(options_.path.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

void SocketFile::Unpublish() noexcept {
    if (published_ && StillOurs()) ::unlink(options_.path.c_str());
    published_ = false;
}

namespace {

// The directory of the default sockets, and whether it is the one chosen with ZEL_IPC_DIR.
std::string DefaultDirectory(bool& chosen) {
    const char* env = std::getenv("ZEL_IPC_DIR");
    chosen = env != nullptr && *env != '\0';
    if (chosen) {
        // "%p" stands for this process's id, so that processes that must not see each other's
        // servers (parallel tests) each get a directory.
        std::string dir = env;
        const std::string pid = std::to_string(::getpid());
        for (std::size_t at = dir.find("%p"); at != std::string::npos; at = dir.find("%p", at + pid.size()))
            dir.replace(at, 2, pid);
        return dir;
    }
    // The user's runtime directory is private to the user and lives as long as the user's
    // sessions; /tmp is shared, so there the directory is one of our own, checked below.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/zel-ipc";
    return "/tmp/zel-ipc-" + std::to_string(::getuid());
}

}  // namespace

std::string DefaultSocketPath(const std::string& serverName, bool create) {
    if (serverName.empty() || serverName.find('/') != std::string::npos || serverName == "." || serverName == "..") {
        throw ConnectError("'" + serverName + "' cannot name a server's socket");
    }
    bool chosen = false;
    const std::string dir = DefaultDirectory(chosen);
    const std::string path = dir + "/" + serverName + ".sock";
    // A client only looks: whoever answers there is checked before anything is sent to it.
    if (!create) return path;
    if (::mkdir(dir.c_str(), 0700) == 0) {
        ::chmod(dir.c_str(), 0700);  // whatever the umask
    } else if (errno != EEXIST) {
        throw ConnectError("cannot create " + dir + ": " + ErrnoText(errno));
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) throw ConnectError("cannot use " + dir + ": " + ErrnoText(errno));
    if (!S_ISDIR(st.st_mode)) throw ConnectError("cannot use " + dir + ": it is not a directory");
    // The default could have been made first by another user, to see or take our sockets. A
    // chosen directory may well be shared on purpose (a socket's group and mode only matter to
    // others if they can reach it); Publish checks that nobody else can replace a socket there.
    if (!chosen) {
        if (::lstat(dir.c_str(), &st) != 0) throw ConnectError("cannot use " + dir + ": " + ErrnoText(errno));
        if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
            throw ConnectError("cannot use " + dir + ": it is not a private directory of this user");
        }
    }
    return path;
}

}  // namespace zel::proglibs::ipc2::socket
