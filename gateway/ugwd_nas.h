// The RADIUS front end's NAS table: NAS records by name. The records and
// their sockets come with the RADIUS front end; the table, its lookup,
// iteration and count exist from the gateway object's creation.
#pragma once

#include <cstdint>

#include "common/hashtable.h"

struct ugwd_ctl;

struct ugwd_nas {
    hashlink link;    // in the NAS table
    const char *name; // the NAS identifier, inside the record's configuration
};

struct ugwd_nas_table {
    ugwd_ctl *ctl;
    hashtable *by_name; // destroying it destroys every NAS
    int das_fd;         // the shared dynamic-authorization socket, -1 while closed
};

ugwd_nas_table *ugwd_nas_table_create(ugwd_ctl *ctl);
void ugwd_nas_table_destroy(ugwd_nas_table *t);
ugwd_nas *ugwd_nas_lookup(ugwd_nas_table *t, const char *name);
ugwd_nas *ugwd_nas_first(const ugwd_nas_table *t);
ugwd_nas *ugwd_nas_next(const ugwd_nas_table *t, const ugwd_nas *nas);
uint32_t ugwd_nas_count(const ugwd_nas_table *t);
