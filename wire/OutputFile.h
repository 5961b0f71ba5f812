#pragma once

#include <string>

namespace wire {

// Opens a regular file for writing, empty, mode 0644 (less the umask), and returns its
// descriptor. The programs run as root in directories others may write to, so it refuses a
// symbolic link, and anything else that is not a regular file, with a wire::Error naming the
// path, without truncating whatever the link points to; a FIFO cannot make it block.
int OpenOutputFile(const std::string& path);

}  // namespace wire
