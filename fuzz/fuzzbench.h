#pragma once

// Two supplies for the HTTP server's targets: every write is answered at once and
// counted, and the values that reach them must be within the supply's range.
#include "fuzzcheck.h"
#include "web/bench.h"
#include "web/httpserver.h"

#include <QCoreApplication>

#include <memory>

namespace fuzz {

class CountingBench : public web::Bench {
public:
    std::vector<std::uint8_t> addresses() const override { return {1, 2}; }
    QJsonObject supply(std::uint8_t address) const override
    {
        return {{QStringLiteral("address"), address}};
    }
    void set(std::uint8_t, std::optional<std::uint16_t> voltage,
             std::optional<std::uint16_t> current, Answer answer) override
    {
        FUZZ_CHECK(voltage || current);
        FUZZ_CHECK(!voltage || *voltage <= 6200);
        FUZZ_CHECK(!current || *current <= 3200);
        ++calls;
        answer({200, {}});
    }
    void output(std::uint8_t, bool, Answer answer) override
    {
        ++calls;
        answer({200, {}});
    }
    void allOff(Answer answer) override
    {
        ++calls;
        answer({200, {}});
    }
    QString recordPath() const override { return {}; }
    int calls = 0;
};

inline const QByteArray kToken = "0123456789abcdef0123456789abcdef";

// The HTTP server on a free loopback port, with the two counting supplies behind it.
struct HttpRig {
    int argc = 1;
    char name[8] = "fuzz";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    CountingBench bench;
    std::unique_ptr<web::HttpServer> server;
    HttpRig()
    {
        web::HttpOptions options;
        options.token = kToken;
        server = std::make_unique<web::HttpServer>(bench, options);
        FUZZ_CHECK(server->listen().isEmpty());
    }
};

} // namespace fuzz
