// ALSA PCM hook for the test device "tbrefuse": it refuses every hardware-parameter
// install, after the slave has accepted the parameters, so that the install fails the
// way a driver that rejects a configuration does.
#ifndef PIC
#define PIC  // a shared module: the plain versioned-symbol form of SND_DLSYM_BUILD_VERSION
#endif
#include <alsa/asoundlib.h>

#include <cerrno>

static int RefuseHwParams(snd_pcm_hook_t* /*hook*/)
{
    return -EINVAL;
}

extern "C" int takebox_refuse_install(snd_pcm_t* pcm, snd_config_t* /*conf*/)
{
    snd_pcm_hook_t* hook = nullptr;
    return snd_pcm_hook_add(&hook, pcm, SND_PCM_HOOK_TYPE_HW_PARAMS, RefuseHwParams, nullptr);
}
extern "C" {
SND_DLSYM_BUILD_VERSION(takebox_refuse_install, SND_PCM_DLSYM_VERSION)
}
