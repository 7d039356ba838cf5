// A host set holding a few names, owned by the fixture.
#pragma once

#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "common/filter/filter_match.h"

struct hostset_fixture {
    hashtable *table = hostset_create();
    std::vector<std::unique_ptr<hostset_entry>> entries;

    template <size_t N> explicit hostset_fixture(const char *const (&names)[N])
    {
        for (const char *n : names)
            add(n);
    }
    hostset_fixture(std::initializer_list<const char *> names)
    {
        for (const char *n : names)
            add(n);
    }
    ~hostset_fixture() { hashtable_destroy(table); }
    hostset_fixture(const hostset_fixture &) = delete;
    hostset_fixture &operator=(const hostset_fixture &) = delete;

    void add(const char *name)
    {
        auto e = std::make_unique<hostset_entry>();
        hashlink_init(&e->link);
        host_lowercase_copy(name, e->name, sizeof(e->name) - 1);
        hashtable_insert(table, &e->link);
        entries.push_back(std::move(e));
    }
    uint32_t hits(const char *name) const
    {
        for (const auto &e : entries)
            if (std::strcmp(e->name, name) == 0)
                return e->hits;
        return 0;
    }
};
