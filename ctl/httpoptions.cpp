#include "ctl/httpoptions.h"

#include "ctl/output.h"
#include "engine/client.h"

#include <QSysInfo>

namespace ctl {

web::HttpOptions httpOptions(const ServeOptions &options, int connections,
                             std::function<bool(const QHostAddress &)> allowed,
                             const QString &portName, const engine::Client &client)
{
    web::HttpOptions http;
    http.address = options.httpAddress;
    http.port = options.httpPort;
    http.hosts = options.httpHosts;
    http.token = options.httpToken;
    http.allowed = std::move(allowed);
    http.log = [](const QString &line) { printErr(line); };
    http.maxConnections = connections;
    http.metrics.bench = options.bench.isEmpty() ? QSysInfo::machineHostName() : options.bench;
    http.metrics.port = portName;
    http.metrics.line = [&client] { return client.stats(); };
    return http;
}

} // namespace ctl
