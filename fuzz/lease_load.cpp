// Lease files of any content: load, compact, load again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "common/mempool.h"
#include "gateway/ugwd_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::string dir = [] {
        char d[] = "/tmp/ugw-fuzz-lease-XXXXXX";
        return std::string(mkdtemp(d));
    }();
    for (int kind = 0; kind < 2; kind++) {
        std::string path = dir + (kind ? "/leases6" : "/leases");
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
            abort();
        close(fd);
        ugwd_table *t = ugwd_table_create();
        size_t obj = kind ? sizeof(ugwd_lease6) : sizeof(ugwd_lease);
        mempool *pool = mempool_create(obj, nullptr, "struct ugwd_lease", __FILE__, __LINE__);
        list_link head;
        list_init(&head);
        if (kind) {
            ugwd_table_load_leases6(t, path.c_str(), pool, &head);
            ugwd_table_dump_leases6(t);
        } else {
            ugwd_table_load_leases(t, path.c_str(), pool, &head);
            ugwd_table_dump_leases(t);
        }
        ugwd_table_free(t);
        mempool_unref(pool);
        unlink(path.c_str());
    }
    return 0;
}
