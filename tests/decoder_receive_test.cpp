#include <gtest/gtest.h>

#include "report_decode.h"
#include "report_format.h"
#include "report_layout.h"

namespace {

TEST(DecoderRecord, EveryByteButTheFieldsIsChecked) {
    const uint8_t ap[MAC_SIZE] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};
    const uint8_t mu[MAC_SIZE] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    StationRecord good;
    encodeRecord(good, ap, mu, 258, -60, 6, 1);
    // The bytes a record may hold anything in, the AP MAC's copies aside.
    auto field = [](int at) {
        return at == RECORD_CHANNEL || at == RECORD_ASSOC || at == RECORD_RSSI ||
               (at >= RECORD_TIMESTAMP && at < RECORD_TIMESTAMP + 4) ||
               (at >= RECORD_MU_MAC && at < RECORD_MU_MAC + MAC_SIZE);
    };
    for (int at = 0; at < RECORD_SIZE; ++at) {
        for (int flip : {0x01, 0x80, 0xFF}) {
            StationRecord bad = good;
            bad.bytes[at] = static_cast<uint8_t>(bad.bytes[at] ^ flip);
            DecodedRecord out;
            const char *why = nullptr;
            EXPECT_EQ(decodeRecord(bad.bytes, out, why), field(at) ? 0 : -1)
                << "byte " << at << " ^ " << flip;
            EXPECT_EQ(why == nullptr, field(at)) << "byte " << at;
        }
    }
}

} // namespace
