// The EEPROM library against the simulated part: chunking, page walk,
// verification, retries and the open/close discipline.
#include <filesystem>
#include <numeric>

#include "ConfigFixture.h"
#include "config/eeprom_lib.h"

using diviv::sim::EepromTransaction;
using diviv::sim::SimEepromControl;

namespace {

class EepromLibTest : public ConfigTest {
protected:
    void TearDown() override {
        eeprom_close();  // a failed test must not leave the library open
        ConfigTest::TearDown();
    }
    void Unprotect() { ASSERT_TRUE(Write("/proc/driver/eeprom_wp", "0")); }
    static std::vector<unsigned char> Pattern(int n, int seed) {
        std::vector<unsigned char> v(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<unsigned char>(seed + 7 * i);
        return v;
    }
};

class SmallEepromLibTest : public EepromLibTest {
protected:
    diviv::sim::SimBoardOptions BoardOptions() const override {
        diviv::sim::SimBoardOptions o;
        o.eeprom_bytes = 512;
        return o;
    }
};

TEST_F(EepromLibTest, OpenCloseDisciplineAndSize) {
    EXPECT_EQ(eeprom_geteepromsize(), EEPROM_ERR_CLOSED);
    EXPECT_EQ(eeprom_close(), EEPROM_ERR_CLOSED);
    unsigned char b[4];
    EXPECT_EQ(eeprom_read_block(0, 4, b), EEPROM_ERR_CLOSED);
    ASSERT_EQ(eeprom_open(), 0);
    EXPECT_EQ(eeprom_open(), EEPROM_ERR_BUSY);  // a second, overlapping use
    EXPECT_EQ(eeprom_geteepromsize(), 1024);
    EXPECT_EQ(eeprom_close(), 0);
    EXPECT_EQ(eeprom_close(), EEPROM_ERR_CLOSED);

    // Without the part the open fails and leaves the library usable later.
    std::filesystem::rename(Path("/sim/eeprom.bin"), Path("/sim/gone.bin"));
    EXPECT_EQ(eeprom_open(), EEPROM_ERR_IO);
    EXPECT_EQ(eeprom_geteepromsize(), EEPROM_ERR_CLOSED);
    std::filesystem::rename(Path("/sim/gone.bin"), Path("/sim/eeprom.bin"));
    EXPECT_EQ(eeprom_open(), 0);
}

TEST_F(EepromLibTest, RangeChecks) {
    ASSERT_EQ(eeprom_open(), 0);
    unsigned char b[64] = {};
    EXPECT_EQ(eeprom_read_block(1024, 1, b), EEPROM_ERR_PAGE);
    EXPECT_EQ(eeprom_write_block(5000, 1, b), EEPROM_ERR_PAGE);
    EXPECT_EQ(eeprom_read_block(1000, 30, b), EEPROM_ERR_RANGE);
    EXPECT_EQ(eeprom_write_block(1020, 5, b), EEPROM_ERR_RANGE);
    EXPECT_EQ(eeprom_read_block(0, -1, b), EEPROM_ERR_RANGE);
    EXPECT_EQ(eeprom_read_block(1000, 24, b), 0);  // ends exactly at the device end
    EXPECT_TRUE(SimEepromControl::Transactions().size() > 0);
}

TEST_F(EepromLibTest, WriteAcrossAPageGoesOutInVerifiedChunks) {
    Unprotect();
    ASSERT_EQ(eeprom_open(), 0);
    const auto data = Pattern(10, 1);
    ASSERT_EQ(eeprom_write_block(250, 10, data.data()), 0);
    const auto log = SimEepromControl::Transactions();
    ASSERT_EQ(log.size(), 4u);
    const EepromTransaction expect[] = {{EepromTransaction::kWrite, 0x54, 250, 6, true},
                                        {EepromTransaction::kRead, 0x54, 250, 6, true},
                                        {EepromTransaction::kWrite, 0x55, 0, 4, true},
                                        {EepromTransaction::kRead, 0x55, 0, 4, true}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log[i].kind, expect[i].kind) << i;
        EXPECT_EQ(log[i].slave, expect[i].slave) << i;
        EXPECT_EQ(log[i].command, expect[i].command) << i;
        EXPECT_EQ(log[i].length, expect[i].length) << i;
    }
    EXPECT_EQ(Image().substr(250, 10), std::string(data.begin(), data.end()));
}

TEST_F(EepromLibTest, UnalignedWritesNeverCrossALineAndReadsUseFullBlocks) {
    Unprotect();
    ASSERT_EQ(eeprom_open(), 0);
    const auto data = Pattern(600, 3);
    ASSERT_EQ(eeprom_write_block(5, 600, data.data()), 0);
    for (const auto& t : SimEepromControl::Transactions()) {
        if (t.kind == EepromTransaction::kWrite) {
            EXPECT_LE(t.command % 16 + t.length, 16) << int(t.command);
        }
    }
    // The part wraps a write inside its 16-byte page: any crossing would show here.
    EXPECT_EQ(Image().substr(5, 600), std::string(data.begin(), data.end()));

    SimEepromControl::ClearTransactions();
    std::vector<unsigned char> back(100);
    ASSERT_EQ(eeprom_read_block(10, 100, back.data()), 0);
    std::vector<int> lengths;
    for (const auto& t : SimEepromControl::Transactions()) lengths.push_back(t.length);
    EXPECT_EQ(lengths, (std::vector<int>{32, 32, 32, 4}));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 5));
}

TEST_F(EepromLibTest, TransientBusFailureIsRetriedPermanentOneFails) {
    Unprotect();
    ASSERT_EQ(eeprom_open(), 0);
    const unsigned char data[4] = {1, 2, 3, 4};
    SimEepromControl::FailNextTransactions(2);
    EXPECT_EQ(eeprom_write_block(32, 4, data), 0);
    auto log = SimEepromControl::Transactions();
    ASSERT_EQ(log.size(), 4u);  // two refused writes, the third goes through, its read-back
    EXPECT_FALSE(log[0].ok);
    EXPECT_FALSE(log[1].ok);
    EXPECT_TRUE(log[2].ok && log[2].kind == EepromTransaction::kWrite);
    EXPECT_EQ(Image().substr(32, 4), std::string("\x01\x02\x03\x04", 4));

    SimEepromControl::ClearTransactions();
    SimEepromControl::FailNextTransactions(1000);
    const unsigned char other[4] = {9, 9, 9, 9};
    EXPECT_EQ(eeprom_write_block(32, 4, other), EEPROM_ERR_IO);
    EXPECT_EQ(SimEepromControl::Transactions().size(), 4u);  // four tries, then give up
    unsigned char back[4];
    SimEepromControl::ClearTransactions();
    EXPECT_EQ(eeprom_read_block(32, 4, back), EEPROM_ERR_IO);
    EXPECT_EQ(SimEepromControl::Transactions().size(), 4u);
    EXPECT_EQ(Image().substr(32, 4), std::string("\x01\x02\x03\x04", 4));
}

TEST_F(EepromLibTest, ReadBackMismatchIsReportedPerByte) {
    Unprotect();
    ASSERT_EQ(eeprom_open(), 0);
    const auto data = Pattern(4, 0x10);
    SimEepromControl::CorruptNextReadAt(0x102, 0x80);
    std::string out = Captured([&] { EXPECT_EQ(eeprom_write_block(0x100, 4, data.data()), EEPROM_ERR_VERIFY); });
    EXPECT_EQ(out,
              "00000100: write_p 10: read_p 10  \n"
              "00000101: write_p 17: read_p 17  \n"
              "00000102: write_p 1e: read_p 9e  odd data!!\n"
              "00000103: write_p 25: read_p 25  \n");
}

TEST_F(EepromLibTest, WriteProtectionIsHonouredAndCaughtByVerification) {
    EXPECT_EQ(eeprom_write_protect_disable(), 0);
    EXPECT_EQ(Read("/proc/driver/eeprom_wp"), std::string("0\0", 2));
    EXPECT_EQ(eeprom_write_protect_enable(), 0);
    EXPECT_EQ(Read("/proc/driver/eeprom_wp"), std::string("1\0", 2));
    ASSERT_EQ(eeprom_open(), 0);
    const unsigned char data[2] = {0x12, 0x34};
    std::string out = Captured([&] { EXPECT_EQ(eeprom_write_block(0, 2, data), EEPROM_ERR_VERIFY); });
    EXPECT_NE(out.find("odd data!!"), std::string::npos);
    EXPECT_EQ(Image().substr(0, 2), "\xff\xff");

    std::filesystem::remove(Path("/proc/driver/eeprom_wp"));
    std::filesystem::create_directories(Path("/proc/driver/eeprom_wp"));  // cannot be opened for writing
    EXPECT_EQ(eeprom_write_protect_disable(), -1);
}

TEST_F(SmallEepromLibTest, TwoPagePartHoldsTheWholeRecord) {
    Unprotect();
    ASSERT_EQ(eeprom_open(), 0);
    EXPECT_EQ(eeprom_geteepromsize(), 512);
    const auto data = Pattern(512, 9);
    ASSERT_EQ(eeprom_write_block(0, 512, data.data()), 0);
    std::vector<unsigned char> back(512);
    ASSERT_EQ(eeprom_read_block(0, 512, back.data()), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(eeprom_read_block(512, 1, back.data()), EEPROM_ERR_PAGE);
    EXPECT_EQ(eeprom_read_block(500, 13, back.data()), EEPROM_ERR_RANGE);
}

}  // namespace
