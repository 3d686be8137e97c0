// The disk server's UDP channel: datagrams (each preceded by a 2-byte length in the input) from
// the address of a session that negotiated UDP, served by the real datagram code, answers and
// read-ahead pushes included.
#include <cstdlib>

#include "diskd_fixture.h"
#include "net_server.h"

using namespace zelko_fuzz;
namespace wire = zelko::wire;
namespace diskd = zelko::diskd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DiskdFixture& fx = Diskd();
    static diskd::UdpRegistry* udp = [] {
        auto* r = new diskd::UdpRegistry();
        r->port = 9501;
        return r;
    }();
    static std::atomic<uint32_t> pushSeq{1};
    // The first byte picks the session: normal writable, read-only, or super-user.
    uint8_t mode = size ? data[0] % 3 : 0;
    if (size) ++data, --size;
    {
        auto session = std::make_shared<diskd::Session>(*fx.store, fx.cfg, fx.stats, *udp, "10.0.0.9", 40000);
        diskd::Bytes out;
        auto hs = HandshakeRequest(mode == 1 ? kIqnRo : kIqn, "udp-client", mode == 2 ? kSuperToken : nullptr);
        wire::MessageHeader h;
        memcpy(&h, hs.data(), sizeof h);
        session->HandleTcp(h, hs.data() + sizeof h, hs.size() - sizeof h, out);
        std::vector<uint8_t> neg;
        PutHeader(neg, wire::OpTransportNegotiate, 0, 2, 0, sizeof(wire::TransportNegotiateRequest));
        wire::TransportNegotiateRequest req{wire::TransportTcp | wire::TransportUdp, 0, 0, 1};
        memcpy(&h, neg.data(), sizeof h);
        session->HandleTcp(h, reinterpret_cast<const uint8_t*>(&req), sizeof req, out);
        if (!udp->Find("10.0.0.9")) abort();  // the negotiation must have registered the session

        size_t sentBytes = 0;
        while (size >= 2) {
            size_t n = data[0] | (data[1] << 8);
            data += 2, size -= 2;
            n = std::min(n, size);
            std::vector<uint8_t> dgram(data, data + n);  // exactly the datagram, for ASan
            data += n, size -= n;
            diskd::ServeDatagram(fx.cfg, *udp, pushSeq, dgram.data(), dgram.size(), "10.0.0.9", out,
                                 [&](const diskd::Bytes& d) {
                                     // What goes out must fit one datagram.
                                     if (d.size() > fx.cfg.udpMtu || d.size() < sizeof(wire::MessageHeader)) abort();
                                     sentBytes += d.size();
                                 });
        }
    }
    if (udp->Find("10.0.0.9")) abort();  // the ended session must be gone from the registry
    fx.Reset();
    return 0;
}
