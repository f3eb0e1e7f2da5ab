// Connections through a manual proxy: HTTPS tunnels through a proxy that asks for credentials,
// the environment's no_proxy not overriding the chosen proxy, and credentials typed for one proxy
// of a per-scheme list never going to another.
#include "ConnectionTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace ConnTest;

namespace {

// A CONNECT-only proxy on 127.0.0.1 that wants Basic credentials (`wanted`, base64) before it
// opens a tunnel. It records every CONNECT head it gets.
class TunnelProxy {
public:
    explicit TunnelProxy(std::string wanted) : m_wanted(std::move(wanted)) {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        listen(m_listen, 16);
        m_accepter = std::thread([this] { Accept(); });
    }
    ~TunnelProxy() {
        m_bStop = true;
        shutdown(m_listen, SHUT_RDWR);
        close(m_listen);
        m_accepter.join();
        for (auto& t : m_tunnels)
            t.join();
    }
    std::wstring Name() const { return L"127.0.0.1:" + std::to_wstring(m_port); }
    std::vector<std::string> Heads() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_heads;
    }

private:
    void Accept() {
        for (;;) {
            const int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0 || m_bStop) {
                if (fd >= 0)
                    close(fd);
                return;
            }
            m_tunnels.emplace_back([this, fd] { Serve(fd); });
        }
    }

    static bool SendAll(int fd, const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    void Serve(int fd) {
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1)
            head += c;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_heads.push_back(head);
        }
        if (head.rfind("CONNECT ", 0) != 0 ||
            head.find("Proxy-Authorization: Basic " + m_wanted + "\r\n") == std::string::npos) {
            SendAll(fd,
                    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"tunnel\"\r\n"
                    "Content-Length: 0\r\nConnection: close\r\n\r\n");
            close(fd);
            return;
        }
        const size_t colon = head.find(':', 8);
        const int port = std::atoi(head.c_str() + colon + 1);
        const int up = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(up, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            !SendAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n")) {
            close(up);
            close(fd);
            return;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {up, POLLIN, 0}};
        char buffer[16384];
        while (!m_bStop && poll(fds, 2, 100) >= 0) {
            bool bEnd = false;
            for (int i = 0; i < 2 && !bEnd; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
                bEnd = n <= 0 || !SendAll(fds[1 - i].fd, std::string(buffer, static_cast<size_t>(n)));
            }
            if (bEnd)
                break;
        }
        close(up);
        close(fd);
    }

    std::string m_wanted;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_accepter;
    std::vector<std::thread> m_tunnels;
    std::mutex m_mutex;
    std::vector<std::string> m_heads;
};

constexpr char kTunnelCredentials[] = "dHU6dHA=";  // tu:tp

TEST_F(ConnectionTest, HttpsThroughAProxyThatWantsCredentialsAsksForThem) {
    auto server = StartServer(true);
    TunnelProxy proxy(kTunnelCredentials);
    Connection c(L"tunnel", L"127.0.0.1", static_cast<DWORD>(server->Port()), 1, kProxyModeManual, proxy.Name().c_str(),
                 0);
    ui->QueuePasswordAnswer({IDOK, L"tu", L"tp"});
    TestRequest noop(L"NoOpRequest");
    EXPECT_EQ(Exchange(c, noop), L"NoOpResponse");
    ASSERT_EQ(ui->History().size(), 1u);
    EXPECT_EQ(ui->History().at(0).wsCaption, proxy.Name());
    const auto heads = proxy.Heads();
    ASSERT_GE(heads.size(), 2u);
    EXPECT_EQ(heads[0].find("Proxy-Authorization"), std::string::npos);
    EXPECT_NE(heads.back().find(kTunnelCredentials), std::string::npos);
}

TEST_F(ConnectionTest, TheEnvironmentsNoProxyDoesNotOverrideAManualProxy) {
    auto proxy = StartServer();
    const char* saved = std::getenv("no_proxy");
    const std::string old = saved ? saved : "";
    setenv("no_proxy", "*", 1);
    std::wstring proxyName = L"127.0.0.1:" + std::to_wstring(proxy->Port());
    // The origin name never resolves: only the proxy can answer for it.
    Connection c(L"proxied", L"mail.example.test", 80, 0, kProxyModeManual, proxyName.c_str(), 0);
    TestRequest noop(L"NoOpRequest");
    std::wstring answer;
    try {
        answer = Exchange(c, noop);
    } catch (const WinHttpException& e) {
        answer = L"failed " + std::to_wstring(e.ExcepNum(0));
    }
    if (saved)
        setenv("no_proxy", old.c_str(), 1);
    else
        unsetenv("no_proxy");
    EXPECT_EQ(answer, L"NoOpResponse");
    EXPECT_EQ(proxy->Requests().size(), 1u);
}

TEST_F(ConnectionTest, CredentialsTypedForOneProxyOfAListNeverGoToTheOther) {
    auto plainProxy = StartServer();
    plainProxy->RequireProxyAuth("pu", "pp");
    auto server = StartServer(true);
    TunnelProxy tunnel(kTunnelCredentials);
    const std::wstring list = L"http=127.0.0.1:" + std::to_wstring(plainProxy->Port()) + L";https=" + tunnel.Name();

    Connection plain(L"plain", L"mail.example.test", 80, 0, kProxyModeManual, list.c_str(), 0);
    ui->QueuePasswordAnswer({IDOK, L"pu", L"pp"});
    TestRequest noop(L"NoOpRequest");
    EXPECT_EQ(Exchange(plain, noop), L"NoOpResponse");

    Connection secure(L"secure", L"127.0.0.1", static_cast<DWORD>(server->Port()), 1, kProxyModeManual, list.c_str(),
                      0);
    ui->QueuePasswordAnswer({IDOK, L"tu", L"tp"});
    EXPECT_EQ(Exchange(secure, noop), L"NoOpResponse");
    ASSERT_EQ(ui->History().size(), 2u);
    EXPECT_EQ(ui->History().at(1).wsCaption, tunnel.Name());
    for (const std::string& head : tunnel.Heads())
        EXPECT_EQ(head.find("cHU6cHA="), std::string::npos) << "the other proxy's credentials: " << head;
}

}  // namespace
