#include "backup/safewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint64_t chunkSize = 1 << 20;

std::string describe(const std::string &what, const fs::path &path, int error)
{
    return what + " " + path.string() + ": " + std::strerror(error);
}

/// Closes a descriptor once; -1 is nothing to close.
struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release()
    {
        const int result = ::close(fd);
        fd = -1;
        return result;
    }
};

bool writeAll(int fd, const char *data, uint64_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<uint64_t>(written);
    }
    return true;
}

} // namespace

bool syncFolder(const fs::path &folder)
{
    Descriptor dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    return dir.fd >= 0 && ::fsync(dir.fd) == 0;
}

namespace {

/// Moves the next chunk into `fd`: the bytes moved, 0 at the end, readError or writeError
/// (with errno set) on failure.
using ChunkPump = std::function<int64_t(int fd)>;
constexpr int64_t readError = -1;
constexpr int64_t writeError = -2;

SafeWriteResult writeThroughTemporary(const fs::path &destination, const ChunkPump &pump,
                                      const SafeWriteOptions &options)
{
    SafeWriteResult result;
    const fs::path folder = destination.parent_path().empty() ? fs::path(".")
                                                               : destination.parent_path();
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(destination, ec);
    if (fs::is_symlink(existing)) {
        result.error = "Refusing to write through a symbolic link: " + destination.string();
        return result;
    }
    if (fs::exists(existing) && !fs::is_regular_file(existing)) {
        result.error = "Not a regular file: " + destination.string();
        return result;
    }
    if (fs::exists(existing) && options.keepExisting) {
        result.error = "File exists: " + destination.string();
        return result;
    }

    // A hidden name in the same folder: the rename then never crosses a file system.
    std::string pattern = (folder / ("." + destination.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    Descriptor out{::mkostemp(name.data(), O_CLOEXEC)};
    if (out.fd < 0) {
        result.error = describe("Cannot create a temporary file in", folder, errno);
        return result;
    }
    const fs::path temporary(name.data());
    auto fail = [&](const std::string &error) {
        result.error = error;
        if (out.fd >= 0)
            ::close(out.fd);
        out.fd = -1;
        ::unlink(temporary.c_str());
        return result;
    };
    ::fchmod(out.fd, 0644);

    for (;;) {
        if (options.cancel && options.cancel->load()) {
            result.cancelled = true;
            return fail("Cancelled");
        }
        const int64_t count = pump(out.fd);
        if (count == readError)
            return fail("Read error while writing " + destination.string());
        if (count < 0)
            return fail(describe("Write error on", destination, errno));
        if (count == 0)
            break;
        result.bytes += static_cast<uint64_t>(count);
        if (options.progress)
            options.progress(static_cast<uint64_t>(count));
    }

    if (options.modificationTime >= 0) {
        const struct timespec times[2] = {{0, UTIME_OMIT},
                                            {options.modificationTime, options.modificationNanoseconds}};
        ::futimens(out.fd, times);
    }
    if (!options.deferCommit && ::fsync(out.fd) != 0)
        return fail(describe("Cannot flush", destination, errno));
    struct stat written {};
    if (::fstat(out.fd, &written) != 0)
        return fail(describe("Cannot check", destination, errno));
    const uint64_t expected =
        options.expectedSize >= 0 ? static_cast<uint64_t>(options.expectedSize) : result.bytes;
    if (static_cast<uint64_t>(written.st_size) != expected || result.bytes != expected) {
        return fail("Size mismatch writing " + destination.string() + ": " +
                    std::to_string(written.st_size) + " of " + std::to_string(expected) +
                    " bytes");
    }
    if (out.release() != 0)
        return fail(describe("Cannot close", destination, errno));
    if (options.deferCommit) {
        result.temporary = temporary;
        result.ok = true;
        return result;
    }

    if (options.keepExisting) {
        // link() fails when the name exists, so no file of the same name appearing meanwhile
        // is ever replaced.
        if (::link(temporary.c_str(), destination.c_str()) != 0)
            return fail(describe("Cannot create", destination, errno));
        ::unlink(temporary.c_str());
    } else if (::rename(temporary.c_str(), destination.c_str()) != 0) {
        return fail(describe("Cannot replace", destination, errno));
    }
    if (!syncFolder(folder)) {
        result.error = describe("Cannot flush the folder", folder, errno);
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace

SafeWriteResult safeWriteFile(const fs::path &destination, const ChunkReader &read,
                              const SafeWriteOptions &options)
{
    std::vector<char> buffer(chunkSize);
    return writeThroughTemporary(
        destination,
        [&](int fd) -> int64_t {
            const int64_t count = read(buffer.data(), buffer.size());
            if (count <= 0)
                return count < 0 ? readError : 0;
            return writeAll(fd, buffer.data(), static_cast<uint64_t>(count)) ? count : writeError;
        },
        options);
}

bool syncFileSystem(const fs::path &path)
{
    Descriptor any{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    return any.fd >= 0 && ::syncfs(any.fd) == 0;
}

SafeWriteResult commitSafeWrite(const fs::path &temporary, const fs::path &destination)
{
    SafeWriteResult result;
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(destination, ec);
    if (fs::is_symlink(existing) || (fs::exists(existing) && !fs::is_regular_file(existing))) {
        result.error = "Not a regular file: " + destination.string();
    } else if (::rename(temporary.c_str(), destination.c_str()) != 0) {
        result.error = describe("Cannot replace", destination, errno);
    } else {
        result.ok = true;
        return result;
    }
    ::unlink(temporary.c_str());
    return result;
}

void discardSafeWrite(const fs::path &temporary)
{
    ::unlink(temporary.c_str());
}

SafeWriteResult safeCopyFile(const fs::path &source, const fs::path &destination,
                             SafeWriteOptions options)
{
    SafeWriteResult result;
    Descriptor in{::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
    struct stat info {};
    if (in.fd < 0 || ::fstat(in.fd, &info) != 0) {
        result.error = describe("Cannot read", source, errno);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.error = "Not a regular file: " + source.string();
        return result;
    }
    if (options.expectedSize < 0)
        options.expectedSize = info.st_size;
    if (options.keepSourceTime) {
        options.modificationTime = info.st_mtim.tv_sec;
        options.modificationNanoseconds = info.st_mtim.tv_nsec;
    }
    const int fd = in.fd;
    // copy_file_range() copies inside the kernel; between file systems (or on an old kernel)
    // it refuses before copying anything, and plain reads and writes take over.
    bool inKernel = true;
    std::vector<char> buffer;
    return writeThroughTemporary(
        destination,
        [&](int out) -> int64_t {
            if (inKernel) {
                const ssize_t count = ::copy_file_range(fd, nullptr, out, nullptr, chunkSize, 0);
                if (count >= 0)
                    return count;
                if (errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
                    errno != EOPNOTSUPP && errno != EBADF)
                    return writeError;
                if (::lseek(fd, 0, SEEK_CUR) != 0 || ::lseek(out, 0, SEEK_CUR) != 0)
                    return writeError;
                inKernel = false;
                buffer.resize(chunkSize);
            }
            for (;;) {
                const ssize_t count = ::read(fd, buffer.data(), buffer.size());
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0)
                    return count < 0 ? readError : 0;
                return writeAll(out, buffer.data(), static_cast<uint64_t>(count)) ? count
                                                                                 : writeError;
            }
        },
        options);
}
