#include "engine/engine.h"

#include "engine/mbapengine.h"
#include "engine/mbapport.h"
#include "engine/rtuengine.h"

namespace engine {

std::unique_ptr<Engine> makeEngine(Client &client, serial::CommControl &comm)
{
    auto *port = qobject_cast<MbapPort *>(&comm);
    if (port && port->carriesMbap()) {
        return std::make_unique<MbapEngine>(client, *port);
    }
    return std::make_unique<RtuEngine>(client, comm);
}

} // namespace engine
