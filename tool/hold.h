// Interrupts held while marrowlink writes to the chip: from the first write
// (or the update's pre-update link) until the port is closed, Ctrl-C, SIGTERM,
// SIGHUP and a closed console window are noted instead of ending the program;
// the unit under way is finished (a key and its read-back, a profile with its
// reset) and the command then stops and says exactly what was done. Outside
// these windows an interrupt ends the program at once.
#pragma once

#include <cstdint>
#include <string>

// Holds interrupts for its lifetime; the notice is the line people see at the
// first interrupt (what is being finished, and for how long at most).
class InterruptHold {
public:
    explicit InterruptHold(const std::string& notice);
    ~InterruptHold();
    InterruptHold(const InterruptHold&) = delete;
    InterruptHold& operator=(const InterruptHold&) = delete;

    void notice(const std::string& notice);

private:
    bool holding_;
};

// 1 when an interrupt came (held or not yet acted on): the caller starts
// nothing new.
bool hold_interrupted();

// The longest one key's write and read-back can take: each request's send and
// answer waits, twice.
std::uint32_t hold_key_bound_ms();

// The notices, each one line.
std::string hold_notice_keys();      // store set, store restore
std::string hold_notice_prepare();   // update: from the pre-update link to the download
std::string hold_notice_download();  // update: while the download tool runs
std::string hold_notice_restore();   // update: the configuration after the download (or the recovery)
