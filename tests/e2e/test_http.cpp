// HTTP(S) GET against the reference update server on loopback: URL building,
// status pass-through, certificate checks and the stall bound.
#include <gtest/gtest.h>

#include <chrono>

#include "HTTPRequest.h"
#include "tempdir.h"
#include "update_server.h"

using testsupport::TempDir;
using testsupport::UpdateServer;

namespace {

struct SettingsGuard {
    HTTPSettings saved = HTTPRequest::settings();
    ~SettingsGuard() { HTTPRequest::settings() = saved; }
};

std::string errorOf(const std::string& url) {
    try {
        HTTPRequest::GET(url, {{"op", "hi"}});
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(HttpGet, RequestTextAndStatus) {
    TempDir root;
    UpdateServer server(root.path());
    ASSERT_TRUE(server.ok());
    HTTPResponse r = HTTPRequest::GET(server.url(), {{"rv", "2"}, {"op", "hi"}});
    EXPECT_EQ(r.get_request(), server.url() + "?op=hi&rv=2&");
    EXPECT_EQ(r.get_status(), 200);
    EXPECT_EQ(r.body(), "ok\nhello\n");

    HTTPResponse bare = HTTPRequest::GET(server.url(), {});
    EXPECT_EQ(bare.get_request(), server.url());
    EXPECT_EQ(bare.get_status(), 200);  // no op: refused in the body, not by status
    EXPECT_EQ(bare.body().rfind("error", 0), 0u);

    std::string base = server.url().substr(0, server.url().size() - 6);
    HTTPResponse missing = HTTPRequest::GET(base + "/nothing", {});
    EXPECT_EQ(missing.get_status(), 404);
}

TEST(HttpGet, ServerErrorsAreReturnedNotThrown) {
    TempDir root;
    UpdateServer server(root.path(), {"--fault", "any=http500"});
    ASSERT_TRUE(server.ok());
    HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "hi"}});
    EXPECT_EQ(r.get_status(), 500);
    EXPECT_EQ(r.body(), "internal error\n");
}

TEST(HttpGet, TransportFailuresThrowWithLibcurlText) {
    testsupport::ClosedPort closed;
    EXPECT_NE(errorOf(closed.url()), "");
    EXPECT_NE(errorOf("notaprotocol://x/cgi/u"), "");
}

TEST(HttpGet, CertificatesAreVerified) {
    TempDir certs;
    ASSERT_EQ(testsupport::run({std::string(SOURCE_DIR) + "/tests/support/make-test-certs", certs.path()}).status, 0);
    TempDir root;
    UpdateServer good(root.path(), {"--cert", certs.file("localhost.pem"), "--key", certs.file("localhost.key")});
    UpdateServer wrongName(root.path(),
                           {"--cert", certs.file("otherhost.pem"), "--key", certs.file("otherhost.key")});
    ASSERT_TRUE(good.ok());
    ASSERT_TRUE(wrongName.ok());
    ASSERT_EQ(good.url().rfind("https://", 0), 0u);

    SettingsGuard guard;
    // An authority the system does not know is refused...
    EXPECT_NE(errorOf(good.url()), "");
    // ... and trusted when named.
    HTTPRequest::settings().caCertFile = certs.file("ca.pem");
    EXPECT_EQ(errorOf(good.url()), "");
    // A trusted certificate for another host name is refused.
    EXPECT_NE(errorOf(wrongName.url()), "");
}

TEST(HttpGet, StalledServerIsAbandoned) {
    TempDir root;
    UpdateServer server(root.path(), {"--fault", "hi=stall", "--stall-seconds", "30"});
    ASSERT_TRUE(server.ok());
    SettingsGuard guard;
    HTTPRequest::settings().stallTimeoutSeconds = 1;
    auto start = std::chrono::steady_clock::now();
    std::string error = errorOf(server.url());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NE(error, "");
    EXPECT_LT(seconds, 10.0);
    // The server itself still stops promptly with a request stalled inside it.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.process().stop(15, 10.0), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}
