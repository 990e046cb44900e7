// The socket file a server is found at: published at its path with the permissions asked for,
// and removed again only while it is still ours.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "fd.h"

namespace zel::proglibs::ipc2::socket {

class SocketFile {
public:
    struct Options {
        std::string path;
        mode_t mode = 0600;                    // owner-only by default
        gid_t group = static_cast<gid_t>(-1);  // chgrp when set
    };

    // A listening socket, linked into place at the path. Throws ConnectError naming the path when
    // its directory is not safe to serve in (owned by neither this user nor root, or writable by
    // others without the sticky bit), when the file there belongs to a live server or is no
    // socket, or when the socket cannot be made with the permissions asked for. A stale socket
    // (its server is gone) is replaced.
    static std::unique_ptr<SocketFile> Publish(const Options& options);
    // Unpublishes and closes.
    ~SocketFile();
    SocketFile(const SocketFile&) = delete;
    SocketFile& operator=(const SocketFile&) = delete;

    int Fd() const noexcept { return fd_.get(); }
    const std::string& Path() const noexcept { return options_.path; }
    // Stops listening: connections not yet accepted are refused.
    void CloseListening() noexcept;
    // Removes the file, if it is still the one we published (another server may have replaced it).
    void Unpublish() noexcept;

private:
    explicit SocketFile(Options options) : options_(std::move(options)) {}
    // Binds and listens in a fresh private directory beside the path, with the permissions set,
    // so that no client ever finds the socket with the default ones and nobody can redirect what
    // is done to it by name; returns its name there (empty when the path leaves no room for the
    // detour, and the socket was bound at the path itself).
    std::string BindPrivately();
    // Links the privately bound socket to the path; link() never replaces a file that appeared
    // meanwhile.
    void LinkIntoPlace(const std::string& privateName);
    bool StillOurs() const noexcept;

    Options options_;
    UniqueFd fd_;
    std::string privateDir_;  // BindPrivately's, until the socket is in place
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool published_ = false;
};

// $ZEL_IPC_DIR/<name>.sock ("%p" in the variable stands for this process's id); else
// $XDG_RUNTIME_DIR/zel-ipc/<name>.sock when the user has a runtime directory; else
// /tmp/zel-ipc-<uid>/<name>.sock. `create` (a server's): the directory is created 0700 when
// missing, and the defaults are refused unless private to this user; a client's lookup creates and
// checks nothing. Throws ConnectError for a name that is empty or contains '/', or an unusable
// directory.
std::string DefaultSocketPath(const std::string& serverName, bool create);

}  // namespace zel::proglibs::ipc2::socket
