// The print daemon's few administrator settings, read once at start from
// /etc/orvanta/cups_zefa_service.yaml (a missing file means every default)
// and read-only afterwards.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <vector>

namespace czs {

/// What the mirrored queues hand to the host ("print_format"): the format
/// the host's printer list asks for, or a fixed one.
enum class PrintFormatSetting { Host, Pdf, PostScript, Raw };

inline constexpr const char* kDaemonConfigPath = "/etc/orvanta/cups_zefa_service.yaml";

struct DaemonConfig {
    /// How long an announced print file the host never fetched whole stays in
    /// the spool ("spool_retention_minutes"). A fetched file goes at once.
    std::chrono::minutes spoolRetention{std::chrono::hours(24)};

    /// Whether the host's default printer becomes the CUPS default
    /// ("follow_host_default"). Even then a default the administrator set on
    /// a queue of their own is left alone.
    bool followHostDefault = true;

    /// Owners, besides root and the user of the active seat session, whose
    /// shared-memory print channel the daemon trusts ("trusted_channel_owners",
    /// user names or numeric uids; resolved to uids when read).
    std::vector<uid_t> trustedChannelOwners;

    /// "print_format": host (the host's "print-file-format" decides), pdf,
    /// ps or raw.
    PrintFormatSetting printFormat = PrintFormatSetting::Host;
};

}  // namespace czs
