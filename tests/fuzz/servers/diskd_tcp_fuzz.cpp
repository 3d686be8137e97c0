// The disk server's TCP data path: the input is the byte stream a peer sends on one connection
// (requests, pipelined, cut anywhere), served by the real connection code (framing, buffering,
// the direct send from the image) through a socketpair, with a real image store.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "diskd_fixture.h"
#include "net_server.h"

using namespace zelko_fuzz;
using zelko::diskd::NetServer;

namespace {
// Reads whatever answers are there, so that a backed-up socket never stalls the server.
void DrainAnswers(int fd) {
    static char buf[256 * 1024];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DiskdFixture& fx = Diskd();
    static NetServer* server = new NetServer(fx.cfg, *fx.store, fx.stats);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) abort();
    NetServer::Handle conn = server->Adopt(sv[0], "10.0.0.7", 50000);
    size_t sent = 0;
    bool closed = false;
    // The stream arrives in pieces of up to 4 KiB, the rest of the input decides nothing else;
    // the peer closes its side once everything is sent.
    for (int rounds = 0; !closed; ++rounds) {
        if (sent < size) {
            size_t piece = std::min<size_t>(size - sent, 4096);
            ssize_t n = send(sv[1], data + sent, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
            if (sent == size) shutdown(sv[1], SHUT_WR);
        } else if (size == 0 && rounds == 0) {
            shutdown(sv[1], SHUT_WR);
        }
        closed = server->Pump(conn) == NetServer::PumpResult::Closed;
        DrainAnswers(sv[1]);
        if (rounds > 100000) {
            fprintf(stderr, "connection neither finished nor closed\n");
            abort();  // a hang: the server stopped consuming the stream
        }
    }
    close(sv[1]);
    fx.Reset();
    return 0;
}
