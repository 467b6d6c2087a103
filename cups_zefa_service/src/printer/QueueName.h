// The CUPS queue name of a host printer: today's name (spaces as "+") while
// CUPS accepts it and no queue of someone else's holds it, otherwise a
// deterministic name derived from the host's name, so a printer keeps its
// queue across reconnects, restarts and list orders.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "printer/Printer.h"

namespace czs {

/// Whether the scheduler accepts `name` for a queue: 1 to 126 bytes, none of
/// them a control character, space, DEL, '/', '\\', '?', '\'', '"' or '#'.
bool isValidQueueName(std::string_view name);

/// The host's name with every space as "+".
std::string naturalQueueName(std::string_view hostName);

/// The fallback name: the natural name with every byte outside
/// [A-Za-z0-9_.+-] as "_", cut to 100 bytes ("printer" when nothing is
/// left), then "-" and the first 6 hex digits of SHA-256(`hashInput`).
std::string hashedQueueName(std::string_view hostName, std::string_view hashInput);

/// Everything that tells two host printers apart, as one byte string.
std::string recordKey(const Printer& printer);

/// Gives every record its queue name (Printer::setQueueName). A record whose
/// natural name is invalid or held by a foreign queue (`heldByForeign`,
/// asked with the candidate name) gets the hashed one. Records that would
/// share a name (CUPS compares names ignoring case) are told apart by the
/// hash of the whole record: the one whose key sorts first keeps the name.
/// Records that are identical in every field are one printer: only the
/// first stays in the list.
void assignQueueNames(std::vector<Printer>& printers, const std::function<bool(const std::string&)>& heldByForeign);

}  // namespace czs
