#include "mount/MountTable.h"

#include <fstream>
#include <sstream>

#include "SafeFs.h"

namespace qmss {

namespace {

// mountinfo escapes blank, tab, newline and backslash as \ooo.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() + 1) {
            bool octal = true;
            int v = 0;
            for (size_t k = 1; k <= 3; ++k) {
                if (i + k >= s.size() || s[i + k] < '0' || s[i + k] > '7') {
                    octal = false;
                    break;
                }
                v = v * 8 + (s[i + k] - '0');
            }
            if (octal) {
                out.push_back(static_cast<char>(v));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

}  // namespace

std::vector<MountEntry> parse_mountinfo(const std::string& text) {
    std::vector<MountEntry> out;
    for (const std::string& line : split_lines(text)) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string tok; in >> tok;)
            f.push_back(tok);
        size_t dash = 0;
        for (size_t i = 6; i < f.size(); ++i) {
            if (f[i] == "-") {
                dash = i;
                break;
            }
        }
        if (dash == 0 || dash + 2 >= f.size()) continue;
        MountEntry e;
        try {
            size_t used = 0;
            e.id = std::stoull(f[0], &used);
            if (used != f[0].size()) continue;
        } catch (...) {
            continue;
        }
        e.mount_point = unescape(f[4]);
        e.fstype = f[dash + 1];
        e.source = unescape(f[dash + 2]);
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<MountEntry> read_mountinfo(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse_mountinfo(text);
}

std::optional<MountEntry> find_mount(const std::vector<MountEntry>& table, uint64_t id) {
    for (const MountEntry& e : table) {
        if (e.id == id) return e;
    }
    return std::nullopt;
}

std::string fold_slashes(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace qmss
