// Where the "zefa-prt" backend spools print jobs and the only place the
// daemon serves print files from. Root-owned, mode 0700: the daemon runs as
// root and ships whatever it serves to the host, so no other user may be able
// to place or link files here. Shared by the daemon and the backend; keep it
// free of daemon dependencies.
#pragma once

namespace czs {

inline constexpr const char* kSpoolDir = "/var/spool/orvanta-print";

}  // namespace czs
