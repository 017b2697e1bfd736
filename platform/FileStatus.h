// How an operation on a client file ended.
#pragma once

namespace tarvos::platform {

enum class FileStatus {
    Ok,
    // The name, or a folder on its way, does not exist.
    Missing,
    // The name, or a link it passes through, leads out of the working
    // directory, or it is no name of a file there (a device, a drive).
    Outside,
    // The file system or the quota is full.
    NoSpace,
    // Any other refusal: permissions, the kind of file, a loop of links, I/O.
    Failed,
};

}  // namespace tarvos::platform
