// Descriptors closed by a thread of their own. The last close of a large file
// that has been removed frees its pages, which may take tens of milliseconds;
// handed over here, that work leaves the caller's path.
#pragma once

namespace tarvos::platform {

// Closes fd soon, on the closing thread; at once, on the caller's thread, when
// that thread can't be had or already has a backlog.
void CloseInBackground(int fd);

}  // namespace tarvos::platform
