// The spool directory is shared with the "zefa-prt" backend, so it is defined
// in the daemon's public header; this name stays for the daemon's own sources.
#pragma once

#include <cups_zefa_service/BackendLink.h>
