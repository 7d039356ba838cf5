// The client's side of the server's first flight: ServerHello, Certificate
// and ServerHelloDone (or a HelloVerifyRequest) as a server would send them.
// Input: a mode byte (which credentials the client has), then messages as
// type, 2-byte length and body, each framed and sent in its own record.
#include <cstdint>
#include <vector>

#include "fuzz/dtls_fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    dtls_fuzz::host h(false);
    dtls_psk psk{};
    strcpy(psk.identity, "gw1");
    psk.key_length = 16;
    dtls_rsa_pin pin{};
    pin.bits = 64;
    uint8_t mode = data[0] % 3;
    const sockaddr *peer = reinterpret_cast<sockaddr *>(&h.peer);
    if (!dtls_connect(h.ctx, peer, mode == 2 ? &pin : nullptr, mode == 0 ? &psk : nullptr))
        return 0;
    h.run();
    std::vector<uint8_t> dgram;
    uint16_t seq = 0;
    size_t at = 1;
    while (at + 3 <= size) {
        uint8_t type = data[at];
        size_t n = size_t(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        if (n > size - at)
            n = size - at;
        std::vector<uint8_t> r = dtls_fuzz::hs_record(type, seq++, data + at, n);
        at += n;
        dgram.insert(dgram.end(), r.begin(), r.end());
    }
    h.deliver(dgram.data(), dgram.size());
    return 0;
}
