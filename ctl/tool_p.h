#pragma once

// What the commands that ask a supply once share, one file for each command
// (portscommand.cpp, scancommand.cpp, readcommand.cpp, setcommand.cpp,
// outputcommand.cpp, addresscommand.cpp): how a failed request is told and its
// exit code, and the port's opening (tool.cpp).
#include "ctl/command.h"
#include "engine/client.h"
#include "engine/failure.h"
#include "records/operations.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace ctl {

using engine::Error;
using engine::Reply;

// Calls `then` with the reply once it has finished, and lets it go.
void whenFinished(Reply *reply, std::function<void(const Reply &)> then);

QString exceptionName(int code);

// Says why a request to `address` that fared as `failed`, with `came` back, is no answer to
// `what`, and its exit code; `timeout` is the request's wait for its reply on a serial line.
int failure(const Context &context, const engine::Failure &failed, const QByteArray &came,
            std::uint8_t address, const QString &what, milliseconds timeout);
int failure(const Context &context, const Reply &reply, std::uint8_t address, const QString &what,
            milliseconds timeout);

// Says why a confirmed write of `address` was not confirmed when no read-back
// showed otherwise (a write or the read-back failed); its exit code. `names` name
// the requests as messages do.
int writeFailure(const Context &context, const records::WriteResult &result, std::uint8_t address,
                 const QStringList &names);

} // namespace ctl
