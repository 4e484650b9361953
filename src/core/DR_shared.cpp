#include "core/DR_shared.h"

#include <cstdio>
#include <new>

dr_common_t* drc = nullptr;

std::unique_ptr<dr_common_t> NewDrCommon() {
    return std::unique_ptr<dr_common_t>(new (std::nothrow) dr_common_t{});
}

std::unique_ptr<codec_config_t> NewCodecConfig() {
    return std::unique_ptr<codec_config_t>(new (std::nothrow) codec_config_t{});
}

void SelectParam(codec_config_t* cfg) {
    switch (cfg->vqsel) {
        case 0:
            std::printf("DiViv : Param Heigh is selected\n");
            cfg->bps = cfg->h_bps;
            cfg->gop = cfg->h_gop;
            cfg->enc_fps = cfg->fps = static_cast<float>(cfg->h_fps);
            break;
        case 1:
            std::printf("DiViv : Param Mid is selected\n");
            cfg->bps = cfg->m_bps;
            cfg->gop = cfg->m_gop;
            cfg->enc_fps = cfg->fps = static_cast<float>(cfg->m_fps);
            break;
        case 2:
            std::printf("DiViv : Param Low is selected\n");
            cfg->bps = cfg->l_bps;
            cfg->gop = cfg->l_gop;
            cfg->enc_fps = cfg->fps = static_cast<float>(cfg->l_fps);
            break;
        default:
            std::printf("DiViv : SEL SW is unknown state [%d]\n", 0);
            break;
    }
    if (cfg->bps == 0 || cfg->fps == 0.0f || cfg->enc_fps == 0.0f || cfg->gop == 0) {
        cfg->gop = 1;
        cfg->bps = 1024;
        cfg->enc_fps = cfg->fps = 15.0f;
    } else {
        std::printf("DiViv : SelectParam [%d kbps] [%f fps] [gop = %d]\n", cfg->bps,
                    static_cast<double>(cfg->fps), static_cast<int>(cfg->gop));
    }
}

const RingBufferSpec kSharedRingBuffers[16] = {
    {&dr_common_t::rv_buf, "rv_buf", 4194304},     {&dr_common_t::vbs_buf, "vbs_buf", 4194304},
    {&dr_common_t::ra_buf, "ra_buf", 524288},      {&dr_common_t::abs_buf, "abs_buf", 65536},
    {&dr_common_t::pts_buf, "pts_buf", 4096},      {&dr_common_t::dv_buf, "dv_buf", 2097152},
    {&dr_common_t::fnum_buf, "fnum_buf", 512},     {&dr_common_t::vinfo_buf, "vinfo_buf", 16384},
    {&dr_common_t::ainfo_buf, "ainfo_buf", 4096},  {&dr_common_t::tvbs_buf, "tvbs_buf", 4194304},
    {&dr_common_t::tabs_buf, "tabs_buf", 65536},   {&dr_common_t::tpts_buf, "tpts_buf", 4096},
    {&dr_common_t::rmc_buf, "rmc_buf", 2048},      {&dr_common_t::gsens_buf, "gsens_buf", 8192},
    {&dr_common_t::pulse_buf, "pulse_buf", 256},   {&dr_common_t::contin_buf, "contin_buf", 1024},
};

int CreateSharedRingBuffers(dr_common_t* dr, int* failed_index) {
    for (int i = 0; i < 16; ++i) {
        DrRingBuffer& rb = dr->*kSharedRingBuffers[i].member;
        if (DR_InitRingBuffer(&rb, kSharedRingBuffers[i].capacity) != 0) {
            if (failed_index) *failed_index = i;
            return -1;
        }
        DR_FlushRingBuffer(&rb);
    }
    return 0;
}

void FreeSharedRingBuffers(dr_common_t* dr) {
    for (const auto& spec : kSharedRingBuffers) DR_FreeRingBuffer(&(dr->*spec.member));
}
