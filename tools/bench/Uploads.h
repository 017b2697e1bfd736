// The MMEM:DATA figures of the benchmark: upload rates against raw loopback
// receivers, and the server's resident memory while blocks stream in.
#pragma once

#include <cstdint>
#include <string>

namespace tarvos::bench {

struct UploadRates {
    // MB/s, best of the rounds; -1 when a run failed.
    double firstUpload = -1;  // a fresh session's first MMEM:DATA, into a new file
    double rewrite = -1;      // MMEM:DATA over an existing file
    double rawFile = -1;      // raw receive of the same bytes into a new file, 1 MiB writes
    double rawSink = -1;      // raw receive of the same bytes, kept nowhere
};

// Runs rounds of each kind, alternating, on the server at port whose working
// directory is directory.
UploadRates MeasureUploadRates(uint16_t port, const std::string& directory, uint64_t blockBytes, int rounds);

struct UploadMemory {
    // Growth of the resident memory in KiB over the idle server with the
    // sessions open, at its peak; -1 when a run failed.
    double oneUploadKiB = -1;
    double concurrentKiB = -1;
};

// On servers of their own in directory: one upload of oneBytes, then
// sessions uploading eachBytes at once.
UploadMemory MeasureUploadMemory(const std::string& directory, uint64_t oneBytes, int sessions, uint64_t eachBytes);

}  // namespace tarvos::bench
