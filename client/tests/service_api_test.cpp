// The one door to the service: evaluation rules directly, then real HTTPS exchanges with the
// reference service (certificate validation on), a closed port and a server with an untrusted
// certificate.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <filesystem>
#include <thread>

#include "net/json_text.h"
#include "net/service_api.h"
#include "support/service_control.h"
#include "support/test_support.h"

namespace {

TEST(ServiceTimeout, ClampedTo300Through15000) {
    const struct { uint32_t in, out; } cases[] = {{0, 300}, {100, 300}, {300, 300}, {8000, 8000},
                                                  {15000, 15000}, {60000, 15000}, {0xFFFFFFFFu, 15000}};
    for (const auto& c : cases) EXPECT_EQ(ClampServiceTimeout(c.in), c.out) << c.in;
}

TEST(EvaluateApiResponse, Outcomes) {
    const struct {
        const char* name;
        ApiResponse response;
        bool ok;
        const wchar_t* message;
    } cases[] = {
        {"not received", {false, 0, "", L"无法连接服务，请确认本机服务已经启动"}, false, L"无法连接服务，请确认本机服务已经启动"},
        {"200 ok", {true, 200, R"({"ok":true})", L""}, true, nullptr},
        {"299 ok", {true, 299, R"({"ok":true})", L""}, true, nullptr},
        {"200 ok false with message", {true, 200, R"({"ok":false,"message":"余额不足"})", L""}, false, L"余额不足"},
        {"200 without ok", {true, 200, R"({"data":1})", L""}, false, L"服务请求失败（错误码 200）"},
        {"200 ok as text", {true, 200, R"({"ok":"true"})", L""}, false, L"服务请求失败（错误码 200）"},
        {"300 ok true", {true, 300, R"({"ok":true})", L""}, false, L"服务请求失败（错误码 300）"},
        {"500 empty", {true, 500, "", L""}, false, L"服务请求失败（错误码 500）"},
        {"404 with message", {true, 404, R"({"ok":false,"message":"没有这个房间"})", L""}, false, L"没有这个房间"},
        {"500 with empty message", {true, 500, R"({"message":""})", L""}, false, L"服务请求失败（错误码 500）"},
        {"status unknown", {true, 0, "", L""}, false, L"服务请求失败（错误码 0）"},
    };
    for (const auto& c : cases) {
        std::wstring message = L"unchanged";
        EXPECT_EQ(EvaluateApiResponse(c.response, message), c.ok) << c.name;
        EXPECT_EQ(message, c.message ? c.message : L"unchanged") << c.name;
    }
}

TEST(PostServiceAction, MalformedEndpoint) {
    const ApiResponse r = PostServiceActionTo(L"not a url", "health", "{}", "", 1000);
    EXPECT_FALSE(r.received);
    EXPECT_EQ(r.errorText, L"服务地址配置有误");
    EXPECT_EQ(JudgeServiceAnswer(r), AnswerVerdict::Refused) << "asking again cannot mend the address";
}

// Which answers a request that may be repeated (a claim, a confirmation, a report) takes as "not yet".
TEST(JudgeServiceAnswer, OnlyTheServicesOwnNoIsFinal) {
    using V = AnswerVerdict;
    using F = TransportFault;
    const struct {
        const char* name;
        ApiResponse response;
        AnswerVerdict verdict;
    } cases[] = {
        {"200 ok", {true, 200, R"({"ok":true,"ready":false})", L"", F::None}, V::Accepted},
        {"time-out, refused or dropped connection", {false, 0, "", L"x", F::Unreachable}, V::NotYet},
        {"answer cut short", {false, 0, "", L"x", F::BrokenAnswer}, V::NotYet},
        {"bad address", {false, 0, "", L"x", F::BadAddress}, V::Refused},
        {"redirect", {false, 0, "", L"x", F::Redirect}, V::Refused},
        {"503 with ok true", {true, 503, R"({"ok":true})", L"", F::None}, V::NotYet},
        {"502 from a proxy", {true, 502, "<html>Bad Gateway</html>", L"", F::None}, V::NotYet},
        {"500 refusal text", {true, 500, R"({"ok":false,"message":"x"})", L"", F::None}, V::NotYet},
        {"504", {true, 504, "", L"", F::None}, V::NotYet},
        {"429 too many", {true, 429, R"({"ok":false,"message":"busy"})", L"", F::None}, V::NotYet},
        {"408 request time-out", {true, 408, "", L"", F::None}, V::NotYet},
        {"400 refusal", {true, 400, R"({"ok":false,"message":"x"})", L"", F::None}, V::Refused},
        {"401 session gone", {true, 401, R"({"ok":false,"message":"x"})", L"", F::None}, V::Refused},
        {"409 already used", {true, 409, R"({"ok":false,"message":"x"})", L"", F::None}, V::Refused},
        {"410 expired", {true, 410, R"({"ok":false,"message":"x"})", L"", F::None}, V::Refused},
        {"499 without body", {true, 499, "", L"", F::None}, V::Refused},
        {"200 ok false", {true, 200, R"({"ok":false,"message":"x"})", L"", F::None}, V::Refused},
        {"200 proxy page without ok", {true, 200, "<html>login</html>", L"", F::None}, V::NotYet},
        {"200 chunked answer cut before ok", {true, 200, R"({"task_id":4)", L"", F::None}, V::NotYet},
        {"204 no body", {true, 204, "", L"", F::None}, V::NotYet},
        {"no status", {true, 0, "", L"", F::None}, V::NotYet},
        {"1xx", {true, 101, "", L"", F::None}, V::NotYet},
    };
    for (const auto& c : cases) EXPECT_EQ(JudgeServiceAnswer(c.response), c.verdict) << c.name;
}

TEST(RetryPause, GrowsFrom300AndStopsAtTheThreeSecondRhythm) {
    const struct { int failed; uint32_t pauseMs; } cases[] = {
        {-1, 300}, {0, 300}, {1, 300}, {2, 600}, {3, 1200}, {4, 2400}, {5, 3000}, {6, 3000}, {1000000, 3000}};
    for (const auto& c : cases) EXPECT_EQ(RetryPauseMs(c.failed), c.pauseMs) << c.failed;
}

class Transport : public testing::Test {
protected:
    void SetUp() override {
        if (TestServiceEndpoint().empty()) GTEST_SKIP() << "no reference service in this run";
        ASSERT_TRUE(TestServiceClearFaults());
    }
    void TearDown() override {
        if (!TestServiceEndpoint().empty()) TestServiceClearFaults();
    }
    static std::string Evaluate(const ApiResponse& r, bool& ok) {
        std::wstring message;
        ok = EvaluateApiResponse(r, message);
        return Utf16ToUtf8(message);
    }
};

TEST_F(Transport, SuccessAndFailuresTheServiceExplains) {
    const struct {
        const char* name;
        std::string fault;  // empty: none
        bool ok;
        uint32_t status;
        const wchar_t* message;
    } cases[] = {
        {"success", "", true, 200, nullptr},
        {"ok false with a message", R"({"action":"health","ok":false,"message":"服务维护中"})", false, 200, L"服务维护中"},
        {"500 with an empty body", R"({"action":"health","status":500,"raw_body":""})", false, 500,
         L"服务请求失败（错误码 500）"},
        {"204 without a body", R"({"action":"health","status":204,"raw_body":""})", false, 204,
         L"服务请求失败（错误码 204）"},
        {"503 with a message", R"({"action":"health","status":503,"ok":false,"message":"稍后再试"})", false, 503,
         L"稍后再试"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(TestServiceClearFaults());
        if (!c.fault.empty()) {
            ASSERT_TRUE(TestServiceFault(c.fault)) << c.name;
        }
        const ApiResponse r = PostServiceAction("health", "{}", "", 8000);
        ASSERT_TRUE(r.received) << c.name << " " << Utf16ToUtf8(r.errorText);
        EXPECT_EQ(r.httpStatus, c.status) << c.name;
        std::wstring message;
        EXPECT_EQ(EvaluateApiResponse(r, message), c.ok) << c.name;
        if (!c.ok) {
            EXPECT_EQ(message, c.message) << c.name;
        }
        if (c.status == 204 || c.status == 500) {
            EXPECT_TRUE(r.body.empty()) << c.name;
            EXPECT_EQ(JudgeServiceAnswer(r), AnswerVerdict::NotYet) << c.name;
        }
    }
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

TEST_F(Transport, TheServiceReceivesExactlyTheEnvelope) {
    const struct {
        const char* name;
        std::string body, token;
    } cases[] = {
        {"token and body", R"({"email":"a@b.cn"})", "tok-123"},
        {"no token", R"({"x":1})", ""},
        {"empty body", "", "tok-456"},
    };
    for (const auto& c : cases) {
        PostServiceAction("health", c.body, c.token, 8000);
        const std::string last = TestServiceLastRequest("health");
        ASSERT_TRUE(JsonGetBool(last, "ok", false)) << c.name << " " << last;
        EXPECT_EQ(JsonGetString(last, "method"), "POST") << c.name;
        EXPECT_EQ(JsonGetString(last, "target"), "/api.php?action=health") << c.name;
        EXPECT_EQ(JsonGetString(last, "body"), c.body) << c.name;
        EXPECT_EQ(JsonGetInt64(last, "body_length", -1), int64_t(c.body.size())) << c.name;
        const std::string headers = Lower(last);
        EXPECT_EQ(Count(headers, R"(["content-type","application/json"])"), 1u) << c.name << " " << last;
        EXPECT_EQ(Count(headers, R"(["accept","application/json"])"), 1u) << c.name;
        EXPECT_EQ(Count(headers, R"(["x-orvane-platform","windows"])"), 1u) << c.name;
        EXPECT_EQ(Count(headers, R"(["x-orvane-version","0.9.10"])"), 1u) << c.name;
        EXPECT_EQ(Count(headers, R"(["x-orvane-protocol","2"])"), 1u) << c.name;
        EXPECT_EQ(Count(headers, R"(["user-agent","orvane-windows/0.9.10"])"), 1u) << c.name;
        EXPECT_EQ(Count(headers, R"(["content-length","0"])"), c.body.empty() ? 1u : 0u) << c.name;
        if (c.token.empty()) {
            EXPECT_EQ(Count(headers, "\"authorization\""), 0u) << c.name;
        } else {
            EXPECT_EQ(Count(headers, "\"authorization\""), 1u) << c.name;
            EXPECT_EQ(Count(last, "\"Bearer " + c.token + "\""), 1u) << c.name << " " << last;
        }
    }
}

TEST_F(Transport, TimeoutIsClampedForEveryPhase) {
    using Clock = std::chrono::steady_clock;
    const struct {
        uint32_t requested;
        int delayMs;
        bool received;
        long least, below;
    } cases[] = {
        {100, 2000, false, 250, 1500},      // 100 → 300 ms
        {8000, 1000, true, 900, 7000},      // 8000 stays: a 1 s answer arrives
        {60000, 17000, false, 14000, 16900},  // 60000 → 15000 ms
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(TestServiceClearFaults());
        ASSERT_TRUE(TestServiceFault(R"({"action":"health","delay_ms":)" + std::to_string(c.delayMs) + "}"));
        const auto start = Clock::now();
        const ApiResponse r = PostServiceAction("health", "{}", "", c.requested);
        const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        EXPECT_EQ(r.received, c.received) << c.requested;
        if (!r.received) {
            EXPECT_EQ(r.errorText, L"无法连接服务，请确认本机服务已经启动") << c.requested;
        }
        EXPECT_GE(ms, c.least) << c.requested;
        EXPECT_LT(ms, c.below) << c.requested;
    }
}

TEST(TransportFailures, ClosedPortIsASendReceiveFailure) {
    const ApiResponse r = PostServiceActionTo(L"https://localhost:1/api.php", "health", "{}", "", 2000);
    EXPECT_FALSE(r.received);
    EXPECT_EQ(r.errorText, L"无法连接服务，请确认本机服务已经启动");
    std::wstring message;
    EXPECT_FALSE(EvaluateApiResponse(r, message));
    EXPECT_EQ(message, L"无法连接服务，请确认本机服务已经启动");
    EXPECT_EQ(JudgeServiceAnswer(r), AnswerVerdict::NotYet) << "a service that is down may come back";
}

// True once something accepts TCP connections on localhost:port.
bool Listening(uint16_t port) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    closesocket(s);
    WSACleanup();
    return ok;
}

// A TLS server on loopback whose self-signed certificate (for "localhost") nobody trusts: OpenSSL's
// s_server on the host, started through wine's support for host programs. It ends by itself.
// It says so: a certificate problem is not a service that is not running.
TEST(TransportFailures, UntrustedCertificateIsASendReceiveFailure) {
    if (!std::filesystem::exists(L"Z:\\bin\\sh") || !std::filesystem::exists(L"Z:\\usr\\bin\\openssl"))
        GTEST_SKIP() << "needs wine with the host's /bin/sh and openssl";
    const uint16_t port = 28000 + static_cast<uint16_t>(GetCurrentProcessId() % 1000);
    const std::string dir = "/tmp/orvane-untrusted-" + std::to_string(GetCurrentProcessId());
    std::string script = "mkdir -p " + dir + " && cd " + dir +
                         " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1"
                         " -subj /CN=localhost -addext subjectAltName=DNS:localhost >/dev/null 2>&1"
                         " && exec timeout 30 openssl s_server -quiet -accept 127.0.0.1:" +
                         std::to_string(port) + " -cert cert.pem -key key.pem -www >/dev/null 2>&1";
    std::wstring command = L"Z:\\bin\\sh -c \"" + Utf8ToUtf16(script) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    if (pi.hProcess) CloseHandle(pi.hProcess);
    if (pi.hThread) CloseHandle(pi.hThread);
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
        up = Listening(port);
        if (!up) Sleep(50);
    }
    ASSERT_TRUE(up) << "the TLS server did not start";
    const ApiResponse r = PostServiceActionTo(L"https://localhost:" + std::to_wstring(port) + L"/api.php", "health",
                                              "{}", "", 5000);
    EXPECT_FALSE(r.received);
    EXPECT_EQ(r.errorText, kSecureConnectionFailedText);
    EXPECT_EQ(JudgeServiceAnswer(r), AnswerVerdict::NotYet) << "asked again: trusting the certificate mends it";
}

// A plain HTTP server on a loopback port that answers every connection with one fixed text and then
// closes: for answers the reference service never gives (a body cut short, a redirect).
class RawHttpServer {
public:
    explicit RawHttpServer(std::string answer) : answer_(std::move(answer)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 8);
        thread_ = std::thread([this] { Serve(); });
    }
    ~RawHttpServer() {
        closesocket(listener_);  // ends accept()
        thread_.join();
        WSACleanup();
    }
    uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }
    std::wstring Endpoint() const { return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/api.php"; }

private:
    void Serve() {
        for (;;) {
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            ++connections_;
            // Read the request head (and the small body) before answering.
            char buffer[4096];
            std::string request;
            while (request.find("\r\n\r\n") == std::string::npos) {
                const int got = recv(client, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                request.append(buffer, static_cast<size_t>(got));
            }
            send(client, answer_.data(), static_cast<int>(answer_.size()), 0);
            shutdown(client, SD_BOTH);
            closesocket(client);
        }
    }

    std::string answer_;
    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

TEST(TransportAnswers, ABodyCutShortIsNotAnAnswer) {
    const struct {
        const char* name;
        std::string answer;
        bool received;
    } cases[] = {
        {"whole body", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
                       "Connection: close\r\n\r\n{\"ok\":true}", true},
        {"fewer bytes than announced", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n"
                                       "Connection: close\r\n\r\n{\"ok\":true}", false},
    };
    for (const auto& c : cases) {
        RawHttpServer server(c.answer);
        const ApiResponse r = PostServiceActionTo(server.Endpoint(), "health", "{}", "", 3000);
        EXPECT_EQ(r.received, c.received) << c.name;
        std::wstring message;
        EXPECT_EQ(EvaluateApiResponse(r, message), c.received) << c.name;
        if (!c.received) {
            EXPECT_EQ(message, L"与服务的连接中断，回答不完整，请稍后重试") << c.name;
            EXPECT_TRUE(r.body.empty()) << c.name;
            EXPECT_EQ(JudgeServiceAnswer(r), AnswerVerdict::NotYet) << c.name;
        }
    }
}

TEST(TransportAnswers, ARedirectIsNeverFollowedAndTheTokenStaysHome) {
    for (const char* status : {"301 Moved Permanently", "302 Found", "307 Temporary Redirect", "308 Permanent Redirect"}) {
        RawHttpServer elsewhere("HTTP/1.1 200 OK\r\nContent-Length: 11\r\nConnection: close\r\n\r\n{\"ok\":true}");
        RawHttpServer service(std::string("HTTP/1.1 ") + status + "\r\nLocation: http://127.0.0.1:" +
                              std::to_string(elsewhere.port()) +
                              "/api.php?action=health\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        const ApiResponse r = PostServiceActionTo(service.Endpoint(), "health", "{}", "secret-token", 3000);
        EXPECT_FALSE(r.received) << status;
        EXPECT_EQ(r.errorText, L"服务地址返回了跳转，已停止请求") << status;
        EXPECT_EQ(JudgeServiceAnswer(r), AnswerVerdict::Refused) << status;
        EXPECT_EQ(service.connections(), 1) << status;
        EXPECT_EQ(elsewhere.connections(), 0) << status << ": the redirect was followed";
    }
}

}  // namespace
