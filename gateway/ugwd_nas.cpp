#include "gateway/ugwd_nas.h"

#include <cstdlib>
#include <unistd.h>

#include "common/log.h"

namespace {

void nas_clear(void *, void *)
{
    // No NAS record exists before the RADIUS front end creates them.
}

} // namespace

ugwd_nas_table *ugwd_nas_table_create(ugwd_ctl *ctl)
{
    auto *t = static_cast<ugwd_nas_table *>(calloc(1, sizeof(ugwd_nas_table)));
    if (!t) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    t->ctl = ctl;
    t->das_fd = -1;
    hashtable_config c = *hashtable_default_config(true);
    c.min_log2 = 6;
    c.clear = nas_clear;
    t->by_name = hashtable_create(0, 0, static_cast<int32_t>(offsetof(ugwd_nas, name) - offsetof(ugwd_nas, link)),
                                  static_cast<int32_t>(offsetof(ugwd_nas, link)), false, true, &c);
    if (!t->by_name) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to create RADIUS NAS table");
        free(t);
        return nullptr;
    }
    return t;
}

void ugwd_nas_table_destroy(ugwd_nas_table *t)
{
    if (!t)
        return;
    hashtable_destroy(t->by_name);
    if (t->das_fd >= 0) {
        close(t->das_fd);
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "Removed RADIUS dynamic authorization port %u", 3799u);
    }
    free(t);
}

ugwd_nas *ugwd_nas_lookup(ugwd_nas_table *t, const char *name)
{
    return hashtable_lookup(t->by_name, name, &ugwd_nas::link);
}

ugwd_nas *ugwd_nas_first(const ugwd_nas_table *t)
{
    hashlink *l = hashtable_first(t->by_name);
    return l ? hashtable_entry(l, &ugwd_nas::link) : nullptr;
}

ugwd_nas *ugwd_nas_next(const ugwd_nas_table *t, const ugwd_nas *nas)
{
    hashlink *l = hashtable_next(t->by_name, &nas->link);
    return l ? hashtable_entry(l, &ugwd_nas::link) : nullptr;
}

uint32_t ugwd_nas_count(const ugwd_nas_table *t)
{
    return hashtable_count(t->by_name);
}
