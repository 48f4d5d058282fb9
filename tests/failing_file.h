// A file whose reads fail part-way, as on a failing disk or a network share
// that went away: one regular file in a FUSE file system served by a thread
// of the test. Mounting needs root and /dev/fuse.
#pragma once

#include <atomic>
#include <string>
#include <thread>

class FailingFile {
public:
    // Serves content as the file "file" in the folder; every read from
    // failAt on fails with EIO, a read before it returns at most the bytes
    // up to failAt.
    FailingFile(const std::string& folder, const std::string& content, size_t failAt);
    ~FailingFile();
    FailingFile(const FailingFile&) = delete;
    FailingFile& operator=(const FailingFile&) = delete;

    // Empty when the file system could not be mounted: why.
    const std::string& Problem() const { return problem_; }
    std::string Path() const { return folder_ + "/file"; }

private:
    void Serve();

    std::string folder_;
    std::string content_;
    size_t failAt_;
    int device_ = -1;
    bool mounted_ = false;
    std::atomic<bool> stop_{false};
    std::thread server_;
    std::string problem_;
};
