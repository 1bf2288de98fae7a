#pragma once

#include <string>
#include <vector>

namespace parlonda {

// What the service does with systemd, through libsystemd. Each does nothing
// when the service was not started by systemd.

// The listening sockets systemd passed in (socket activation): their file
// descriptors, empty when none. The environment that named them is cleared.
std::vector<int> socketsFromSystemd();

// Tells systemd the service's state ("READY=1\nSTATUS=...", "STOPPING=1").
void tellSystemd(const std::string &state);

// True when `fd` is the stream systemd connects to the journal
// (JOURNAL_STREAM names its device and inode), so that lines written to it
// may carry journald priority prefixes.
bool goesToJournal(int fd);

// When standard error goes to the journal, has every line written to
// std::cerr from now on logged at error priority: those lines say why the
// service refuses to start. Before anything is written to std::cerr.
void cerrLinesAreErrors();

} // namespace parlonda
