#include "wire/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wire/Error.h"

namespace wire {

namespace {

constexpr char kNotRegular[] = "is not a regular file; refusing to write to it";

// The open failed: say why in the terms of what is at the path, if anything.
Error RefusalFor(const std::string& path, int openError) {
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode)) {
            return Error(path, "is a symbolic link; refusing to write through it");
        }
        if (!S_ISREG(status.st_mode)) {
            return Error(path, kNotRegular);
        }
    }
    return Error(path, std::string("cannot open for writing: ") + std::strerror(openError));
}

}  // namespace

int OpenOutputFile(const std::string& path) {
    // O_TRUNC leaves anything but a regular file alone, so it may come before the check.
    const int fd = open(path.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        throw RefusalFor(path, errno);
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        throw Error(path, kNotRegular);
    }
    return fd;
}

}  // namespace wire
