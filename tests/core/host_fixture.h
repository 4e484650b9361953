// A simulated board with a fresh shared record and codec configuration, the
// factory defaults in the working parameter record, and host commands run
// with their console text captured.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "SpineFixture.h"
#include "config/param_ini.h"
#include "core/AppParams.h"
#include "core/HostCommand.h"

class HostCommandTest : public SpineTest {
protected:
    void SetUp() override {
        SpineTest::SetUp();
        cfg_ = NewCodecConfig();
        drc->pCodecCfg = cfg_.get();
        SetupIniDefault(&eepd);
    }
    static std::string Captured(const std::function<void()>& f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }
    // Runs host command `command` (it must keep the main loop running);
    // returns its console text.
    static std::string Run(int command, int param, const char* text) {
        return Captured([&] { EXPECT_EQ(MonCommand(command, param, text), 1); });
    }

    std::unique_ptr<codec_config_t> cfg_;
};
