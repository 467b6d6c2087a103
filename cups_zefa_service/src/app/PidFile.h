// The daemon's pid file: decimal pid, no sign, no newline.
#pragma once

#include <string>
#include <sys/types.h>

namespace czs {

class PidFile {
public:
    /// `path` is copied. Main thread only, like every command.
    explicit PidFile(std::string path) : path_(std::move(path)) {}

    // The pid the file names, or -1 when it is missing or does not hold a
    // positive decimal number: kill() must never see 0 or a negative pid,
    // which would signal a whole process group or every process.
    pid_t read() const;
    // Truncates and writes the pid; failures are not reported.
    void write(pid_t pid) const;
    /// Removes the file; a missing file is not an error.
    void remove() const;

private:
    std::string path_;
};

}  // namespace czs
