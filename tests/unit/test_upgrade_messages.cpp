// The upgrade command's message layouts, byte for byte as the device
// expects and answers them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UpgradeMessages.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const upgrade::Request& r) {
    return Bytes(r.bytes, r.bytes + r.length);
}

}  // namespace

TEST(UpgradeMessages, RequestsAfterTheCommandByte) {
    EXPECT_EQ(bytesOf(upgrade::InitRequest()), (Bytes{0x00}));
    EXPECT_EQ(bytesOf(upgrade::LoadRequest()), (Bytes{0x02}));
    EXPECT_EQ(bytesOf(upgrade::SumRequest()), (Bytes{0x04}));
    EXPECT_EQ(bytesOf(upgrade::RebootRequest()), (Bytes{0x06}));
    EXPECT_EQ(bytesOf(upgrade::PrepareRequest(5, 0x08001234)),
              (Bytes{0x03, 0x05, 0x08, 0x00, 0x12, 0x34}));
    // The device reads the low 16 bits of the count.
    EXPECT_EQ(bytesOf(upgrade::WriteRequest(0x12345)), (Bytes{0x05, 0x23, 0x45}));
}

TEST(UpgradeMessages, DataCarriesOneTo26Bytes) {
    const Bytes data(27, 0xAB);
    upgrade::Request r;
    ASSERT_TRUE(upgrade::DataRequest(data.data(), 26, r));
    EXPECT_EQ(r.length, 27);
    EXPECT_EQ(r.bytes[0], 0x01);
    EXPECT_FALSE(upgrade::DataRequest(data.data(), 27, r));
    EXPECT_EQ(r.length, 0);
    EXPECT_FALSE(upgrade::DataRequest(data.data(), 0, r));
    EXPECT_FALSE(upgrade::DataRequest(nullptr, 1, r));
}

TEST(UpgradeMessages, RepliesAreMatchedByTheirFirstTwoBytes) {
    struct Case {
        upgrade::Option request;
        uint8_t second;
    };
    for (const Case& c :
         {Case{upgrade::kInit, 0x00}, Case{upgrade::kData, 0x01}, Case{upgrade::kLoad, 0x02},
          Case{upgrade::kPrepare, 0x07}, Case{upgrade::kSum, 0x07}, Case{upgrade::kWrite, 0x07}}) {
        const upgrade::Match m = upgrade::ReplyMatch(c.request);
        EXPECT_EQ(m.bytes[0], 0x5F);
        EXPECT_EQ(m.bytes[1], c.second) << int(c.request);
    }
}

TEST(UpgradeMessages, ParsesRepliesWithinTheirBounds) {
    uint32_t base = 0;
    const Bytes init = {0x5F, 0x00, 0x20, 0x00, 0x01, 0x00};
    EXPECT_TRUE(upgrade::ParseInitReply(init.data(), init.size(), base));
    EXPECT_EQ(base, 0x20000100u);
    EXPECT_FALSE(upgrade::ParseInitReply(init.data(), 5, base)) << "5 bytes are too short";

    uint8_t status = 9;
    uint16_t size = 0;
    const Bytes prepare = {0x5F, 0x07, 0x00, 0x04, 0x00};
    EXPECT_TRUE(upgrade::ParsePrepareReply(prepare.data(), prepare.size(), status, size));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(size, 1024);
    EXPECT_FALSE(upgrade::ParsePrepareReply(prepare.data(), 4, status, size))
        << "an accepting status without its size";
    const Bytes refused = {0x5F, 0x07, 0x07};
    EXPECT_TRUE(upgrade::ParsePrepareReply(refused.data(), refused.size(), status, size));
    EXPECT_EQ(status, 7);

    uint32_t sum = 0;
    const Bytes sumReply = {0x5F, 0x07, 0x00, 0x00, 0x00, 0x01, 0xFE};
    EXPECT_TRUE(upgrade::ParseSumReply(sumReply.data(), sumReply.size(), status, sum));
    EXPECT_EQ(sum, 0x1FEu);

    uint8_t count = 0;
    const Bytes data = {0x5F, 0x01, 0x1A};
    EXPECT_TRUE(upgrade::ParseDataReply(data.data(), data.size(), count));
    EXPECT_EQ(count, 26);
    const Bytes other = {0x5F, 0x02, 0x1A};
    EXPECT_FALSE(upgrade::ParseDataReply(other.data(), other.size(), count)) << "another option";
    EXPECT_FALSE(upgrade::ParseStatus(nullptr, 3, status));
}

TEST(UpgradeMessages, SumCountsBytesAsUnsigned) {
    const Bytes twoFF = {0xFF, 0xFF};
    EXPECT_EQ(upgrade::AddToSum(0, twoFF.data(), twoFF.size()), 0x1FEu);
    EXPECT_EQ(upgrade::AddToSum(0xFFFFFFFF, twoFF.data(), 1), 0xFEu) << "wraps at 32 bits";
    uint32_t address = 0;
    EXPECT_TRUE(upgrade::BlockAddress(Bytes{0, 0, 0x80, 0, 0xAA}.data(), 5, address));
    EXPECT_EQ(address, 0x8000u);
    EXPECT_FALSE(upgrade::BlockAddress(twoFF.data(), 2, address));
}
