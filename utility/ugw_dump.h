// The running configuration as ugw commands: fed back through `ugw -c -`
// into an empty daemon, the lines rebuild the same configuration. Settings
// at their defaults (those of ugw's add commands) are left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "controller/ulmex.h"
#include "radius/radius_mib.h"

struct gwc_connection;

// Prints the configuration of the daemon whose socket is path (its process
// id the path's suffix). 0, or -1 with errno: EPERM for a user the daemon
// would hand blanked secrets and keys.
int ugw_dump_config(const char *path);
// The same on an open connection, without the privilege check.
int ugw_dump_config_on(gwc_connection *c, FILE *out);
// 0 when the daemon pid treats our effective user or group as its own (it
// compares them with its real ones), -1 with EPERM when not, or errno when
// its status cannot be read.
int ugw_dump_privileged(int pid);

// Appends bytes as one word that the batch splitter gives back byte for
// byte: in single quotes when every byte is printable ASCII other than a
// quote, else with backslash escapes (\xHH for bytes that are not printable).
void ugw_dump_quote(std::string &out, std::string_view bytes);

// The lines of single records, appended to out. 0, or -1 with errno:
// EILSEQ for a value no command can carry (an SSID holding a NUL byte),
// ENODEV when an interface index has no name.
using ugw_ifname_fn = char *(*)(unsigned index, char *name);
int ugw_dump_control(std::string &out, const ulmexControl *r);
// A NAS record as Get-NAS returns it: the configuration, then the two
// authentication and the two accounting server rows. The filters' lines
// go between head and servers.
struct ugw_dump_nas_record {
    radius_nas_config config;
    radiusAuthClientServerExtTable auth[2];
    radiusAccClientServerExtTable acct[2];
};
static_assert(sizeof(ugw_dump_nas_record) == 888);
int ugw_dump_nas_head(std::string &out, const ugw_dump_nas_record *r);
int ugw_dump_nas_servers(std::string &out, const ugw_dump_nas_record *r);
// A service record as Get-Service returns it (UGW_SERVICE_RECORD bytes).
int ugw_dump_service(std::string &out, const void *record, ugw_ifname_fn ifname);
