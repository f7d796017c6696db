#include "engine/failuretable.h"

namespace engine {

namespace {

// The shell's codes: 1 a failure on the line, 2 a refused value (nothing sent),
// 130 a stop. SCPI: -221 settings conflict, -240 hardware error. Modbus: 3 illegal
// data value, 0x0B the gateway's target failed to respond.
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitStopped = 130;
constexpr int kScpiConflict = -221;
constexpr int kScpiHardware = -240;
constexpr int kIllegalDataValue = 0x03;
constexpr int kTargetFailed = 0x0B;

} // namespace

const std::vector<FailureFaces> &failureTable()
{
    static const std::vector<FailureFaces> table{
        {Error::None, "", "", 0, 0, 200, 0},
        {Error::Timeout, "timeout", "no reply", kExitFailed, kScpiHardware, 502, kTargetFailed},
        {Error::Crc, "crc", "bad CRC", kExitFailed, kScpiHardware, 502, kTargetFailed},
        {Error::Foreign, "foreign", "not a reply to the request", kExitFailed, kScpiHardware, 502,
         kTargetFailed},
        {Error::Short, "short", "reply cut off", kExitFailed, kScpiHardware, 502, kTargetFailed},
        {Error::Exception, "exception", "exception reply", kExitFailed, kScpiHardware, 502,
         kSupplysOwnException},
        {Error::Port, "port", "port gone", kExitFailed, kScpiHardware, 502, kTargetFailed},
        {Error::Interrupted, "interrupted", "stopped", kExitStopped, kScpiHardware, 503,
         kTargetFailed},
        {Error::Refused, "refused", "refused by a ceiling", kExitRefused, kScpiConflict, 409,
         kIllegalDataValue},
        {Error::NotConfirmed, "unconfirmed", "not confirmed", kExitFailed, kScpiHardware, 502,
         kTargetFailed},
        {Error::Undecoded, "undecoded", "values no supply reports", kExitFailed, kScpiHardware, 502,
         kTargetFailed},
    };
    return table;
}

const FailureFaces &facesOf(Error error)
{
    for (const FailureFaces &row : failureTable()) {
        if (row.error == error) {
            return row;
        }
    }
    return failureTable().front();
}

} // namespace engine
