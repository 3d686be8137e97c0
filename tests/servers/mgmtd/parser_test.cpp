// The HTTP front's request parser on its own: the bounds a hostile client meets while its bytes
// arrive (the front tests check the same over real connections).
#include <gtest/gtest.h>

#include "http_server.h"

namespace http = zelko::mgmtd::http;
using Result = http::RequestParser::Result;

TEST(RequestParser, HeaderLinesAreBoundedInNumber) {
    http::Limits limits;
    limits.maxHeaders = 8;
    std::string head = "GET /api/health HTTP/1.1\r\n";
    for (int i = 0; i < 8; ++i) head += "X-A: 1\r\n";
    http::Request req;
    {
        http::RequestParser p(limits);
        std::string in = head + "\r\n";
        EXPECT_EQ(p.Parse(in, req), Result::Complete);
        EXPECT_EQ(req.headers.size(), 8u);
    }
    http::RequestParser p(limits);
    std::string in = head + "X-A: 1\r\n\r\n";
    EXPECT_EQ(p.Parse(in, req), Result::Refused);
    EXPECT_EQ(p.refusal(), 431);
}

TEST(RequestParser, EndlessTrailersAreRefused) {
    http::Limits limits;
    limits.maxHead = 1024;
    http::RequestParser p(limits);
    http::Request req;
    std::string in = "POST /api/users HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n";
    EXPECT_EQ(p.Parse(in, req), Result::NeedMore);
    Result r = Result::NeedMore;
    for (int i = 0; i < 200 && r == Result::NeedMore; ++i) {
        in += "X-Trailer: 0123456789\r\n";
        r = p.Parse(in, req);
    }
    EXPECT_EQ(r, Result::Refused);
    EXPECT_EQ(p.refusal(), 431);
}

TEST(RequestParser, PipelinedRequestsComeOneByOneAndBodiesStayWithinTheLimit) {
    http::Limits limits;
    limits.maxBody = 10;
    http::RequestParser p(limits);
    http::Request req;
    std::string in = "POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /b HTTP/1.1\r\n\r\nPOST /c HTTP/1.1\r\nContent-Length: 11\r\n\r\n";
    ASSERT_EQ(p.Parse(in, req), Result::Complete);
    EXPECT_EQ(req.path, "/a");
    EXPECT_EQ(req.body, "abc");
    ASSERT_EQ(p.Parse(in, req), Result::Complete);
    EXPECT_EQ(req.path, "/b");
    EXPECT_EQ(p.Parse(in, req), Result::Refused);  // before a byte of the body
    EXPECT_EQ(p.refusal(), 413);
}
