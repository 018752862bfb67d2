#include "Metrics.h"

#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace kest_tools {

std::string ListenAddress::Text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ParseListenAddress(const char* text, ListenAddress& out) {
    const std::string s = text != nullptr ? text : "";
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos)
        return "wants ADDR:PORT or :PORT (for instance 127.0.0.1:9464), not '" + s + "'";
    std::string host = s.substr(0, colon);
    const std::string port = s.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "127.0.0.1";
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535)
        return "wants a port from 0 to 65535 after the colon, not '" + port + "'";
    out.host = host;
    out.port = std::stoi(port);
    return "";
}

void MetricsText::Family(const char* name, const char* type, const char* help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
}

void MetricsText::Sample(const std::string& name, const std::string& labels, double value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += ' ';
    text_ += MetricValue(value);
    text_ += '\n';
}

void MetricsText::Sample(const std::string& name, const std::string& labels, uint64_t value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += ' ';
    text_ += std::to_string(value);
    text_ += '\n';
}

std::string Label(const char* key, const std::string& value) {
    std::string out = key;
    out += "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string Labels(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& p : parts) {
        if (p.empty()) continue;
        if (!out.empty()) out += ',';
        out += p;
    }
    return out;
}

std::string MetricValue(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    // The shortest text that reads back as the same number.
    for (int digits = 1; digits < 17; ++digits) {
        char shorter[32];
        std::snprintf(shorter, sizeof shorter, "%.*g", digits, v);
        if (std::strtod(shorter, nullptr) == v) return shorter;
    }
    return buf;
}

struct MetricsServer::Impl {
    httplib::Server server;
    std::thread thread;
    bool started = false;
};

MetricsServer::MetricsServer() : impl_(new Impl) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Bind(const ListenAddress& at, Render render, std::string& error) {
    // The address first, for a message that says what is wrong with it
    // rather than that the bind failed.
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    struct addrinfo* found = nullptr;
    const int gai = getaddrinfo(at.host.c_str(), std::to_string(at.port).c_str(), &hints, &found);
    if (gai != 0) {
        error = "cannot listen on " + at.Text() + ": " + gai_strerror(gai);
        return false;
    }
    freeaddrinfo(found);

    httplib::Server& s = impl_->server;
    // cpp-httplib sets SO_REUSEPORT by default, which would let a second
    // receiver bind the same port and take half of the scrapes: a port in
    // use must be an error. SO_REUSEADDR alone still allows a restart while
    // old connections linger in TIME_WAIT.
    s.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Two workers: scrapes are rare and small, and every thread more is one
    // more that may be scheduled beside the polling thread. One request per
    // connection: a worker would otherwise stay with a scraper's idle
    // keep-alive connection while a second scraper (or an operator's curl)
    // waits.
    s.new_task_queue = [] { return new httplib::ThreadPool(2); };
    s.set_keep_alive_max_count(1);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(5, 0);
    s.Get("/metrics", [render](const httplib::Request&, httplib::Response& res) {
        res.set_content(render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<html><body><a href=\"/metrics\">/metrics</a></body></html>\n", "text/html");
    });
    errno = 0;
    bool bound;
    if (at.port == 0) {
        port_ = s.bind_to_any_port(at.host);
        bound = port_ > 0;
    } else {
        bound = s.bind_to_port(at.host, at.port);
        port_ = at.port;
    }
    if (!bound) {
        const int e = errno;
        error = "cannot listen on " + at.Text() + ": " +
                (e == EADDRINUSE ? std::string("the port is in use (another process listens there)")
                 : e != 0        ? std::string(std::strerror(e))
                                 : std::string("the address cannot be bound"));
        port_ = 0;
        return false;
    }
    return true;
}

void MetricsServer::Start() {
    if (impl_->started || port_ == 0) return;
    impl_->started = true;
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
}

void MetricsServer::Stop() {
    if (!impl_->started) return;
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->started = false;
}

}  // namespace kest_tools
