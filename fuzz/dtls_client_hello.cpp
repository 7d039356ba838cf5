// The server's stateless path for a ClientHello from an unknown peer: the
// input is a ClientHello body; it is sent without a cookie, then again with
// the cookie of the HelloVerifyRequest spliced in where the body has one,
// then as a raw datagram.
#include <cstdint>
#include <vector>

#include "fuzz/dtls_fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    dtls_fuzz::host h(true);
    std::vector<uint8_t> r = dtls_fuzz::hs_record(1, 0, data, size);
    h.deliver(r.data(), r.size());
    if (h.sent.size() == 1 && h.sent[0].size() == 13 + 12 + 23 && size >= 35) {
        size_t at = 34 + 1 + data[34]; // the cookie's length byte
        if (at < size) {
            std::vector<uint8_t> body(data, data + at);
            body.push_back(20);
            body.insert(body.end(), h.sent[0].end() - 20, h.sent[0].end());
            size_t rest = at + 1 + data[at];
            if (rest <= size)
                body.insert(body.end(), data + rest, data + size);
            r = dtls_fuzz::hs_record(1, 1, body.data(), body.size());
            h.deliver(r.data(), r.size());
        }
    }
    h.deliver(data, size);
    return 0;
}
