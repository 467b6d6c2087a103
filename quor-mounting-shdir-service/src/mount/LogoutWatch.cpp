#include "mount/LogoutWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "davfs/DavfsFiles.h"
#include "SafeFs.h"
#include "LogText.h"

namespace qmss {

namespace {

class LogindStates : public LoginStates {
public:
    explicit LogindStates(std::string seats_dir) : seats_dir_(std::move(seats_dir)) {
        if (sd_login_monitor_new("uid", &monitor_) < 0) monitor_ = nullptr;
    }
    ~LogindStates() override {
        if (monitor_) sd_login_monitor_unref(monitor_);
    }
    bool available() const override {
        struct stat st {};
        return stat(seats_dir_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    bool loggedIn(uid_t uid) override {
        char* state = nullptr;
        int r = sd_uid_get_state(uid, &state);
        if (r < 0) {
            // No record of the user at all: nobody is logged in as them.
            return !(r == -ENXIO || r == -ENOENT || r == -ENODATA);
        }
        std::string s = state;
        std::free(state);
        return s == "active" || s == "online";
    }
    int changeFd() override { return monitor_ ? sd_login_monitor_get_fd(monitor_) : -1; }
    void flush() override {
        if (monitor_) sd_login_monitor_flush(monitor_);
    }

private:
    std::string seats_dir_;
    sd_login_monitor* monitor_ = nullptr;
};

}  // namespace

std::unique_ptr<LoginStates> make_logind_states(std::string seats_dir) {
    return std::make_unique<LogindStates>(std::move(seats_dir));
}

void remove_home_credential(const std::string& homedir, const std::string& endpoint) {
    auto home = open_dir(homedir);
    if (!home) return;
    auto opened = open_beneath(home->get(), ".davfs2", O_RDONLY | O_DIRECTORY);
    if (!opened) return;
    const orv::UniqueFd dir = std::move(opened).value();
    auto file = open_regular(dir.get(), "secrets_orvanta", O_RDONLY);
    struct stat st {};
    if (!file || fstat(file->get(), &st) != 0 || st.st_uid != geteuid()) return;
    std::optional<std::string> text = read_all(file->get());
    if (!text) return;
    const std::string cred = credential_line(endpoint);
    std::string kept;
    bool removed = false;
    for (const std::string& line : split_lines(*text)) {
        if (trim(line) == cred) {
            removed = true;
            continue;
        }
        kept += line + "\n";
    }
    if (!removed) return;
    if (auto written = replace_in_dir(dir.get(), "secrets_orvanta", kept, 0600); !written) {
        const int e = written.errnum();
        ORV_LOG(Warning, "Error[%d]: while removing the credential from %s/.davfs2/secrets_orvanta. %s\n", e,
                homedir.c_str(), std::strerror(e));
    }
}

LogoutWatch::LogoutWatch(MountManager& manager, LoginStates& states, const ServiceConfig& config)
    : manager_(manager), states_(states), config_(config), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LogoutWatch::~LogoutWatch() {
    stop();
}

void LogoutWatch::start() {
    thread_ = std::thread([this] { run(); });
}

void LogoutWatch::stop() {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    (void)!write(wake_.get(), &one, sizeof one);
    thread_.join();
}

size_t LogoutWatch::checkOnce() {
    std::set<uid_t> gone;
    std::set<std::string> homes;
    for (const ShareRecord& r : manager_.records()) {
        if (!states_.loggedIn(r.uid)) {
            if (gone.insert(r.uid).second) {
                ORV_LOG(Info, "User %s has logged out: unmounting their shares\n", printable(r.username).c_str());
            }
            homes.insert(r.homedir);
        }
    }
    if (gone.empty()) return 0;
    size_t ended = manager_.endShares([&gone](const UserInfo& u) { return gone.count(u.uid) > 0; },
                                      std::chrono::seconds(config_.unmount_upload_timeout));
    for (const std::string& home : homes)
        remove_home_credential(home, config_.endpoint);
    return ended;
}

void LogoutWatch::run() {
    for (;;) {
        pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {states_.changeFd(), POLLIN, 0}};
        // logind's change descriptor wakes the watch for every login and
        // logout; a pass also runs once a minute in case one was missed.
        // Without that descriptor, looking every few seconds is the only way.
        const bool monitored = fds[1].fd >= 0;
        int r = poll(fds, monitored ? 2 : 1, monitored ? 60000 : 5000);
        if (r > 0 && (fds[0].revents & POLLIN)) return;
        if (r > 0 && (fds[1].revents & POLLIN)) states_.flush();
        checkOnce();
    }
}

std::unique_ptr<LogoutWatch> start_logout_watch(MountManager& manager, LoginStates& states,
                                                const ServiceConfig& config) {
    if (!config.unmount_on_logout) return nullptr;
    if (!states.available()) {
        ORV_LOG(Info, "Without logind, shares stay mounted after a logout\n");
        return nullptr;
    }
    auto watch = std::make_unique<LogoutWatch>(manager, states, config);
    watch->start();
    return watch;
}

}  // namespace qmss
