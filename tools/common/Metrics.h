// Metrics for Prometheus: the text exposition format, and a small HTTP
// server (cpp-httplib) that answers GET /metrics from threads of its own.
// Nothing here runs on a receiving thread: the tools hand the server a
// function that renders the text from counters the receiving thread keeps.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kest_tools {

// Where to listen: "ADDR:PORT", "[IPV6]:PORT" or ":PORT" (127.0.0.1); PORT
// 0 to 65535, 0 for any free port (the tool says which it got).
struct ListenAddress {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string Text() const;  // host:port, IPv6 in brackets
};
// Empty when text is a listen address (out filled), else what is wrong with it.
std::string ParseListenAddress(const char* text, ListenAddress& out);

// One scrape's text: families with their HELP and TYPE lines, then samples.
class MetricsText {
public:
    // type: counter, gauge, histogram, untyped.
    void Family(const char* name, const char* type, const char* help);
    // labels: the inside of the braces, already joined (see Label), or "".
    void Sample(const std::string& name, const std::string& labels, double value);
    void Sample(const std::string& name, const std::string& labels, uint64_t value);
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};
// key="value" with the value escaped; Labels joins them with commas.
std::string Label(const char* key, const std::string& value);
std::string Labels(std::initializer_list<std::string> parts);
// A sample value as Prometheus reads it ("+Inf", "NaN", shortest round trip).
std::string MetricValue(double v);

class MetricsServer {
public:
    using Render = std::function<std::string()>;
    MetricsServer();
    ~MetricsServer();  // stops
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Takes the address now, so that a bad address or a port in use is an
    // error before anything else starts; false with error set.
    bool Bind(const ListenAddress& at, Render render, std::string& error);
    // The port bound (the one the system chose for port 0).
    int Port() const { return port_; }
    // Serves GET /metrics (and / with a link to it) from its own threads.
    void Start();
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace kest_tools
