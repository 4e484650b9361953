// A simulated board with a fresh shared state and a clean parameter store for
// each test of the configuration modules.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/param_ini.h"
#include "core/DR_shared.h"
#include "sim/SimI2cEeprom.h"
#include "support/SimBoardFixture.h"

class ConfigTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        diviv::sim::SimEepromControl::Reset();
        dr_ = NewDrCommon();
        cfg_ = NewCodecConfig();
        dr_->pCodecCfg = cfg_.get();
        drc = dr_.get();
        EepData = Eep_data{};
        LoadEepDone = 0;
    }
    void TearDown() override {
        diviv::sim::SimEepromControl::Reset();
        drc = nullptr;
        SimBoardTest::TearDown();
    }

    std::string Image() const { return Read("/sim/eeprom.bin"); }
    void SetImage(const std::string& bytes) const { ASSERT_TRUE(Write("/sim/eeprom.bin", bytes)); }
    // The record as it sits in the image.
    Eep_data ImageRecord() const {
        Eep_data e{};
        const std::string img = Image();
        EXPECT_GE(img.size(), sizeof e);
        std::memcpy(&e, img.data(), std::min(img.size(), sizeof e));
        return e;
    }
    void SetImageRecord(const Eep_data& e) const {
        std::string img = Image();
        img.replace(0, sizeof e, reinterpret_cast<const char*>(&e), sizeof e);
        SetImage(img);
    }
    static Eep_data Defaults() {
        Eep_data e{};
        SetupIniDefault(&e);
        return e;
    }
    static int WritesLogged() {
        int n = 0;
        for (const auto& t : diviv::sim::SimEepromControl::Transactions()) n += t.kind == t.kWrite;
        return n;
    }

    std::unique_ptr<dr_common_t> dr_;
    std::unique_ptr<codec_config_t> cfg_;
};

// The setup file written from the factory defaults.
inline constexpr const char* kDefaultSetupIni =
    "[HOLMAX]\nVIDEO_QSEL=0\nCAM_MODE=0\nAUDIO_REC=0\nPROTECT_EVFILE=1\nREC_STOP_TIMER=0\n"
    "STEERING_LIMIT=5\nBRAKE_LIMIT=5\nACCEL_LIMIT=5\nSPEED_LIMIT=0\nENGINE_ROT_LIMIT=0\nIDLING_LIMIT=0\n"
    "EXT_EVENT_ENABLE=0\nEXT_EVENT_LOGIC=0\nDRIVE_ALERT=0\nEVENT_NUM_INFO=30\nID2=00000000\n"
    "ID3=00000040\nID4=00000020\nGPOSITION=1\n";

// Runs `fn` and returns what it printed on stdout.
template <typename Fn>
std::string Captured(Fn&& fn) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}
