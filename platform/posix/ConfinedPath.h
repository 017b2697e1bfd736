// Client file names resolved beneath the working directory on POSIX systems: a
// symbolic link is followed only as long as it stays beneath it. The POSIX
// backend of platform/File.h.
#pragma once

#include <string>

#include "platform/File.h"

namespace tarvos::platform {

// The status that an error number (errno) stands for.
FileStatus FileStatusOf(int error);

// Who resolves names: the kernel, which confines a resolution itself where it
// has openat2 (else the walk takes over), or a walk of our own that opens one
// component at a time without following links and puts a link's text in its
// place. Tests pick the walk to compare the two.
enum class Resolver { Kernel, Walk };

// What a name is opened for.
enum class OpenFor {
    // A file, read-only; a FIFO never blocks the open.
    Reading,
    // A folder, only as a place to resolve further names from.
    Folder,
};

// Opens path beneath the working directory: the descriptor, or -1 with the
// reason in status.
int OpenBeneath(const std::string& path, OpenFor purpose, FileStatus& status, Resolver resolver = Resolver::Kernel);

// The folder holding the file that path names, opened into folder, and the
// file's own name in it, into leaf. A link in the last place is followed (and
// must stay beneath as well), so that leaf names no link when this returns; it
// may name nothing yet. On anything but Ok, folder is -1.
FileStatus ResolveLeaf(const std::string& path, int& folder, std::string& leaf, Resolver resolver = Resolver::Kernel);

}  // namespace tarvos::platform
