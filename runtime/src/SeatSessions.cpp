// sd-login answers for SeatSessions. Every string sd-login hands out is ours
// to free; a negative result means "cannot tell", which never grants trust.
#include "runtime/SeatSessions.h"

#include <sys/stat.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <memory>

namespace orv {
namespace {

struct FreeStr {
    void operator()(char* p) const noexcept { std::free(p); }
};
using OwnedStr = std::unique_ptr<char, FreeStr>;

void freeStrv(char** v) {
    if (v == nullptr) return;
    for (char** p = v; *p != nullptr; ++p)
        std::free(*p);
    std::free(v);
}

class LogindSeatSessions final : public SeatSessions {
public:
    explicit LogindSeatSessions(std::string seatsDir) : seatsDir_(std::move(seatsDir)) {}

    bool available() const override {
        struct stat st {};
        return ::stat(seatsDir_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    bool isActiveSeatSession(pid_t pid, uid_t uid) const override {
        char* raw = nullptr;
        if (pid <= 0 || sd_pid_get_session(pid, &raw) < 0 || raw == nullptr) return false;
        OwnedStr session(raw);
        if (sd_session_is_active(session.get()) <= 0) return false;
        char* seatRaw = nullptr;
        if (sd_session_get_seat(session.get(), &seatRaw) < 0 || seatRaw == nullptr) return false;
        OwnedStr seat(seatRaw);
        uid_t owner = 0;
        return sd_session_get_uid(session.get(), &owner) >= 0 && owner == uid;
    }

    std::vector<uid_t> activeSeatUsers() const override {
        std::vector<uid_t> users;
        char** seats = nullptr;
        const int n = sd_get_seats(&seats);
        for (int i = 0; i < n; ++i) {
            char* sessionRaw = nullptr;
            uid_t uid = 0;
            if (sd_seat_get_active(seats[i], &sessionRaw, &uid) >= 0) users.push_back(uid);
            std::free(sessionRaw);
        }
        freeStrv(seats);
        return users;
    }

private:
    std::string seatsDir_;
};

}  // namespace

std::unique_ptr<SeatSessions> makeLogindSeatSessions(std::string seatsDir) {
    return std::make_unique<LogindSeatSessions>(std::move(seatsDir));
}

}  // namespace orv
