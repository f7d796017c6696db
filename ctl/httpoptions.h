#pragma once

#include "ctl/serveoptions.h"
#include "web/httpserver.h"

#include <functional>

namespace engine {
class Client;
} // namespace engine

namespace ctl {

// The HTTP server's options from serve's: where it listens, the names it
// answers to, its token and how many connections it keeps, who may connect, and
// what /metrics labels its samples with (the bench, the host name unless
// --bench names it, and the line) and where it reads the line's counts.
web::HttpOptions httpOptions(const ServeOptions &options, int connections,
                             std::function<bool(const QHostAddress &)> allowed,
                             const QString &portName, const engine::Client &client);

} // namespace ctl
