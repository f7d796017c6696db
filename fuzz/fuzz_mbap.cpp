// Input: the bytes a Modbus TCP client sends, cut into pieces at the positions
// the first byte chooses; every ADU framed is judged as the gateway would.
#include "fuzzcheck.h"
#include "protocol/mbap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = 1 + data[0] % 16;
    protocol::mbap::StreamReader reader;
    std::size_t framed = 0;
    for (std::size_t at = 1; at < size; at += piece) {
        const std::size_t n = std::min(piece, size - at);
        reader.feed(data + at, n);
        while (auto adu = reader.next()) {
            // Whatever is framed is a PDU of 1..253 bytes that encodes back to
            // the very bytes it was read from.
            FUZZ_CHECK(!adu->pdu.empty() && adu->pdu.size() <= protocol::mbap::kMaxPduSize);
            const auto again = protocol::mbap::encode(*adu);
            FUZZ_CHECK(framed + again.size() <= size - 1);
            FUZZ_CHECK(std::equal(again.begin(), again.end(), data + 1 + framed));
            framed += again.size();
            // The gateway lets a request through as a checked RTU frame or
            // answers it with an exception, never both, never neither.
            protocol::mbap::GatewayPolicy policy;
            policy.units = {1, 5};
            policy.largestVoltageCount = 6200;
            policy.largestCurrentCount = 3200;
            const auto verdict = protocol::mbap::judgeGatewayRequest(*adu, policy);
            FUZZ_CHECK(verdict.rtu.empty() != verdict.exception.empty());
            FUZZ_CHECK(verdict.rtu.empty() || protocol::crcOk(verdict.rtu));
            FUZZ_CHECK(verdict.exception.empty() ||
                       (verdict.exception.size() == 2 && (verdict.exception[0] & 0x80) != 0));
        }
    }
    FUZZ_CHECK(reader.malformed() || framed + reader.pending() == size - 1);
    return 0;
}
