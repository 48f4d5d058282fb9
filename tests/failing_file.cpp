// The kernel's side of FUSE as linux/fuse.h and the kernel's
// Documentation/filesystems/fuse.rst describe it: one request per read of
// /dev/fuse (the buffer at least FUSE_MIN_READ_BUFFER), one reply per write,
// none for FORGET, BATCH_FORGET and INTERRUPT; ENOSYS for an operation the
// file system does not offer, which the kernel then stops asking for.
#include "failing_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t kFileNode = 2;
constexpr size_t kBufferSize = 1 << 20;

void FillAttributes(uint64_t node, size_t size, fuse_attr* attr)
{
    *attr = {};
    attr->ino = node;
    attr->nlink = node == FUSE_ROOT_ID ? 2 : 1;
    attr->mode = node == FUSE_ROOT_ID ? (S_IFDIR | 0755) : (S_IFREG | 0444);
    attr->size = node == FUSE_ROOT_ID ? 0 : size;
    attr->blksize = 4096;
}

}  // namespace

FailingFile::FailingFile(const std::string& folder, const std::string& content, size_t failAt)
    : folder_(folder), content_(content), failAt_(failAt)
{
    if (mkdir(folder_.c_str(), 0755) != 0 && errno != EEXIST) {
        problem_ = "cannot make " + folder_ + ": " + strerror(errno);
        return;
    }
    device_ = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (device_ < 0) {
        problem_ = std::string("cannot open /dev/fuse: ") + strerror(errno);
        return;
    }
    const std::string options = "fd=" + std::to_string(device_) + ",rootmode=40000,user_id=" +
                                std::to_string(geteuid()) + ",group_id=" + std::to_string(getegid());
    if (mount("failingfile", folder_.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        problem_ = std::string("cannot mount a FUSE file system: ") + strerror(errno);
        return;
    }
    mounted_ = true;
    server_ = std::thread(&FailingFile::Serve, this);
}

FailingFile::~FailingFile()
{
    // Unmounting ends the connection: the server's next read fails with ENODEV.
    if (mounted_)
        umount2(folder_.c_str(), MNT_DETACH);
    stop_ = true;
    if (server_.joinable())
        server_.join();
    if (device_ >= 0)
        close(device_);
}

void FailingFile::Serve()
{
    std::vector<char> buffer(kBufferSize + 4096);
    while (!stop_) {
        pollfd ready = {device_, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0)
            continue;
        const ssize_t length = read(device_, buffer.data(), buffer.size());
        if (length < 0 && (errno == EINTR || errno == EAGAIN || errno == ENOENT))
            continue;  // ENOENT: the request was interrupted before it was read
        if (length < ssize_t(sizeof(fuse_in_header)))
            return;
        fuse_in_header in;
        memcpy(&in, buffer.data(), sizeof in);
        const char* argument = buffer.data() + sizeof in;

        std::vector<char> reply;
        int error = 0;
        auto append = [&reply](const void* data, size_t size) {
            reply.insert(reply.end(), static_cast<const char*>(data), static_cast<const char*>(data) + size);
        };
        switch (in.opcode) {
        case FUSE_FORGET:
        case FUSE_BATCH_FORGET:
        case FUSE_INTERRUPT:
            continue;
        case FUSE_INIT: {
            fuse_init_out init = {};
            init.major = FUSE_KERNEL_VERSION;
            init.minor = FUSE_KERNEL_MINOR_VERSION;
            init.max_write = 4096;
            init.max_background = 1;
            append(&init, sizeof init);
            break;
        }
        case FUSE_LOOKUP:
            if (in.nodeid == FUSE_ROOT_ID && std::strcmp(argument, "file") == 0) {
                fuse_entry_out entry = {};
                entry.nodeid = kFileNode;
                FillAttributes(kFileNode, content_.size(), &entry.attr);
                append(&entry, sizeof entry);
            } else {
                error = ENOENT;
            }
            break;
        case FUSE_GETATTR: {
            fuse_attr_out attributes = {};
            FillAttributes(in.nodeid, content_.size(), &attributes.attr);
            append(&attributes, sizeof attributes);
            break;
        }
        case FUSE_OPEN: {
            // Direct I/O: every read(2) reaches the server as it was made, no
            // page cache or read-ahead between.
            fuse_open_out opened = {};
            opened.open_flags = FOPEN_DIRECT_IO;
            append(&opened, sizeof opened);
            break;
        }
        case FUSE_READ: {
            fuse_read_in request;
            memcpy(&request, argument, sizeof request);
            const size_t offset = size_t(request.offset);
            if (offset >= failAt_) {
                error = EIO;
            } else if (offset < content_.size()) {
                const size_t count = std::min({size_t(request.size), failAt_ - offset, content_.size() - offset});
                append(content_.data() + offset, count);
            }
            break;
        }
        case FUSE_FLUSH:
        case FUSE_RELEASE:
            break;
        default:
            error = ENOSYS;
            break;
        }
        fuse_out_header out = {};
        out.len = uint32_t(sizeof out + (error ? 0 : reply.size()));
        out.error = -error;
        out.unique = in.unique;
        std::vector<char> message(reinterpret_cast<const char*>(&out), reinterpret_cast<const char*>(&out) + sizeof out);
        if (!error)
            message.insert(message.end(), reply.begin(), reply.end());
        if (write(device_, message.data(), message.size()) < 0 && errno == ENODEV)
            return;
    }
}
