#pragma once

#include <memory>
#include <string>

namespace sim {

// A pseudo-terminal published as the link `COMn` in a port folder. The link is
// guarded by a lock file beside it (".COMn.lock", holding the owner's pid) so a
// second simulator refuses the name while the first one lives, and a link left
// behind by a simulator that died is replaced.
class PortLink {
public:
    // Creates the folder when `create` is set and it is missing. On failure
    // returns null and a message for the user in `error`.
    static std::unique_ptr<PortLink> open(const std::string &directory, int port, bool create,
                                          std::string &error);
    ~PortLink(); // removes the link and the lock file

    PortLink(const PortLink &) = delete;
    PortLink &operator=(const PortLink &) = delete;

    // Takes the pseudo-terminal away as an unplugged adapter goes: the link is
    // removed and the program's end hangs up. The lock stays.
    void unplug();
    // A new pseudo-terminal under the same link; false with `error` set when it
    // cannot be made. Nothing to do while plugged in.
    bool plug(std::string &error);
    bool plugged() const { return m_master >= 0; }

    int master() const { return m_master; }
    // The program's end, held open by the simulator: its settings are the line's.
    int slave() const { return m_slave; }
    const std::string &name() const { return m_name; }
    const std::string &linkPath() const { return m_linkPath; }
    const std::string &slavePath() const { return m_slavePath; }

private:
    PortLink() = default;

    std::string m_name;
    std::string m_linkPath;
    std::string m_lockPath;
    std::string m_slavePath;
    int m_master = -1;
    // Held open so that the master side keeps working while no program has the
    // port open, and across a program closing and reopening it.
    int m_slave = -1;
    int m_lock = -1;
};

// The port folder: `option` when given, else $VANTEL_PORT_DIR when set and not
// empty, else ~/.config/vantel/ports. Only that last one is created when
// missing (`create`): a folder the user named must exist.
std::string portDirectory(const std::string &option, bool &create);

} // namespace sim
