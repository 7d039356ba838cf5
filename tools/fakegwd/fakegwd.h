// A stand-in for the daemon's management socket: binds
// <run directory>/ulmex-gatewaysock.<pid> on the common IPC server and serves
// it from a thread of its own. Requests are journalled whole; each is answered
// by the reply set for its type, or else by one synthesized from the catalogue
// (records of zeros, records of Add and Modify echoed, empty lists, Status 0).
// Lock, unlock, health, log settings and event groups are the IPC server's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct fakegwd;

enum fakegwd_fault_kind : uint32_t {
    FAKEGWD_OK = 0,
    FAKEGWD_STATUS,      // a Status carrying arg as errno
    FAKEGWD_SHORT,       // the reply cut to arg bytes
    FAKEGWD_WRONG_TYPE,  // the reply's type replaced by arg
    FAKEGWD_HUGE_COUNT,  // the list count replaced by arg, no rows added
    FAKEGWD_LATE,        // no answer now; it goes out before the next one
    FAKEGWD_ENDLESS,     // continued fragments of the answer, never a last one
    FAKEGWD_REFUSE_LOCK, // the next lock is refused
};

fakegwd *fakegwd_start(const char *run_dir);
void fakegwd_stop(fakegwd *f);
const char *fakegwd_path(const fakegwd *f);

// The reply to every request of a type from now on (header included).
void fakegwd_set_reply(fakegwd *f, uint32_t request_type, std::vector<uint8_t> reply);
// A fault for the next request (or lock) only.
void fakegwd_fault(fakegwd *f, fakegwd_fault_kind kind, uint32_t arg = 0);
std::vector<std::vector<uint8_t>> fakegwd_journal(fakegwd *f);
void fakegwd_clear_journal(fakegwd *f);
// Sends msg as an event to the members that joined with key group_type.
// Returns how many it reached.
int fakegwd_push_event(fakegwd *f, uint32_t group_type, const void *msg, size_t len);
size_t fakegwd_members(fakegwd *f, uint32_t group_type);

// A Flows reply of n rows of distinct stations on 256 BSSIDs of one service,
// with volumes and an SSID filled in: a long list as a busy gateway holds it.
std::vector<uint8_t> fakegwd_flows_reply(uint32_t n);

// The answer type of a request type, or -1 for a type that is not a request.
int fakegwd_answer_type(uint32_t request_type);
// The synthesized reply to a request.
std::vector<uint8_t> fakegwd_synthesize(const uint8_t *request, size_t len);
