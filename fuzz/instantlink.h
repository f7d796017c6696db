#pragma once

// Supplies that answer the SCPI instrument at once, or fail every request when
// `silent`; every set value that reaches them must be within the supply's range.
#include "fuzzcheck.h"
#include "protocol/reply.h"
#include "scpi/instrument.h"

namespace fuzz {

class InstantLink : public scpi::SupplyLink {
public:
    bool silent = false;
    protocol::StatusReading supply;

    void readStatus(std::uint8_t, Done done) override { finish(done); }
    void setVoltage(std::uint8_t, std::uint16_t code, Done done) override
    {
        FUZZ_CHECK(code <= protocol::kLargestVoltageCode);
        supply.setVoltage = code;
        finish(done);
    }
    void setCurrent(std::uint8_t, std::uint16_t code, Done done) override
    {
        FUZZ_CHECK(code <= protocol::kLargestCurrentCode);
        supply.setCurrent = code;
        finish(done);
    }
    void setOutput(std::uint8_t, bool on, Done done) override
    {
        supply.outputOn = on;
        finish(done);
    }
    // One supply stands behind every address: a silent line confirms none.
    void allOff(std::vector<std::uint8_t> addresses, AllOffDone done) override
    {
        std::vector<std::pair<std::uint8_t, std::string>> failed;
        for (const std::uint8_t address : addresses) {
            if (silent) {
                failed.emplace_back(address, "timeout");
            }
        }
        if (!silent) {
            supply.outputOn = false;
        }
        done(std::move(failed));
    }

private:
    void finish(const Done &done)
    {
        if (silent) {
            done(Result::failed(scpi::LinkFault::Line, "timeout"));
            return;
        }
        supply.actualVoltage = supply.outputOn ? supply.setVoltage : 0;
        supply.actualCurrent = supply.outputOn ? supply.setCurrent / 2 : 0;
        done(Result::of(supply));
    }
};

} // namespace fuzz
