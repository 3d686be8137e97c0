// The management server's HTTP/1.1 request parser (the epoll front's, without sockets): the
// input is what a client sends on one connection, handed over in pieces the way reads deliver
// it. Pipelined requests are parsed one after the other until the parser refuses or wants more.
#include <cstdlib>
#include <string>

#include "http_server.h"

namespace http = zelko::mgmtd::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // Small limits, so that the bounds themselves are reached by small inputs.
    static http::Limits limits = [] {
        http::Limits l;
        l.maxBody = 4096;
        l.maxHead = 2048;
        l.maxHeaders = 16;
        return l;
    }();
    size_t piece = 1 + data[0] % 64 * 37;  // 1 .. 2332 bytes per read
    ++data, --size;
    http::RequestParser parser(limits);
    http::Request req;
    std::string in;
    size_t pos = 0;
    int complete = 0;
    while (pos < size) {
        size_t n = std::min(piece, size - pos);
        in.append(reinterpret_cast<const char*>(data) + pos, n);
        pos += n;
        for (;;) {
            size_t before = in.size();
            auto r = parser.Parse(in, req);
            if (r == http::RequestParser::Result::Refused) {
                int s = parser.refusal();
                if (s != 400 && s != 413 && s != 431 && s != 501 && s != 505) abort();
                return 0;
            }
            // What the parser holds stays within the limits plus one read.
            if (in.size() > limits.maxHead + piece + 1024 || req.body.size() > limits.maxBody) abort();
            if (r == http::RequestParser::Result::NeedMore) break;
            ++complete;
            if (req.headers.size() > limits.maxHeaders || req.method.empty() || req.path.empty()) abort();
            if (in.size() >= before && before > 0 && req.body.empty() && complete > 1 && in.size() == before)
                abort();  // a complete request consumed nothing: the parser would loop
            req.Header("Content-Length");
            req.Param("x");
        }
    }
    return 0;
}
