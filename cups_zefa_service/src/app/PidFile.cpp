#include "app/PidFile.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace czs {

pid_t PidFile::read() const {
    std::ifstream in(path_);
    if (!in) {
        return -1;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Tolerate surrounding white space (an administrator's editor adds a
    // newline); anything else means there is no usable pid.
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    if (begin == end || end - begin > 10) {
        return -1;
    }
    long long value = 0;
    for (size_t i = begin; i < end; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    if (value <= 0 || value > INT_MAX) {
        return -1;
    }
    return static_cast<pid_t>(value);
}

void PidFile::write(pid_t pid) const {
    std::ofstream out(path_, std::ios::trunc);
    out << pid;
}

void PidFile::remove() const {
    std::remove(path_.c_str());
}

}  // namespace czs
