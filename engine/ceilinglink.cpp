#include "engine/ceilinglink.h"

#include "engine/mbapport.h"

#include <algorithm>

namespace engine {

namespace mbap = protocol::mbap;

CeilingLink::CeilingLink(CeilingRegistry &registry, MbapPort &port, QObject *parent)
    : QObject(parent), m_registry(registry), m_port(port)
{
    m_registry.setOwnChanged([this](std::uint8_t address, CeilingKind kind) {
        if (joined()) {
            send(address, kind);
        }
    });
    connect(&m_port, &MbapPort::lineChanged, this, [this] {
        if (joined()) {
            sendAll();
        }
    });
}

CeilingLink::~CeilingLink()
{
    m_registry.setOwnChanged(nullptr);
}

bool CeilingLink::joined() const
{
    return m_port.carriesMbap() && m_port.namesVerdicts() && m_port.PortOpen();
}

void CeilingLink::send(std::uint8_t address, CeilingKind kind)
{
    // The tightest of the program's own holders speaks for the program: the owner
    // keeps one ceiling of each kind for each joined connection.
    const auto own = m_registry.tightest(address, kind, true);
    const mbap::Bytes pdu =
        own ? mbap::holdPdu({kind, static_cast<std::uint16_t>(std::min(own->value, 0xFFFF)),
                             own->pid, own->holder})
            : mbap::releasePdu(kind);
    const mbap::Bytes adu = mbap::encode({0, address, pdu});
    try {
        m_port.setOutput(QByteArray(reinterpret_cast<const char *>(adu.data()),
                                    static_cast<qsizetype>(adu.size())));
    } catch (const serial::CommError &) {
        // The line is away: the next owner hears of it at the line's change.
    }
}

void CeilingLink::sendAll()
{
    for (const auto &[address, kind] : m_registry.ownKeys()) {
        if (m_registry.tightest(address, kind, true)) {
            send(address, kind);
        }
    }
}

} // namespace engine
