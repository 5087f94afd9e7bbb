// takebox-probe: tells the launcher (takebox) whether this machine has a sound device.
//   takebox-probe              exit status 0 when ALSA's "default" PCM opens for playback
//                              or for capture (or is busy), 1 when it opens for neither
//   takebox-probe config-file  prints the path of ALSA's own top configuration file
// ALSA's error messages are kept off the console: a missing device is the expected answer.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void Silent(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
            const char* /*fmt*/, ...)
{
}

// The device is there when it opens, or when another program holds it.
bool Opens(snd_pcm_stream_t stream)
{
    snd_pcm_t* pcm = nullptr;
    const int rc = snd_pcm_open(&pcm, "default", stream, SND_PCM_NONBLOCK);
    if (rc >= 0) {
        snd_pcm_close(pcm);
        return true;
    }
    return rc == -EBUSY || rc == -EAGAIN;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "config-file") == 0) {
        printf("%s/alsa.conf\n", snd_config_topdir());
        return 0;
    }
    if (argc != 1) {
        fprintf(stderr, "usage: takebox-probe [config-file]\n");
        return 2;
    }
    snd_lib_error_set_handler(Silent);
    const bool playback = Opens(SND_PCM_STREAM_PLAYBACK);
    const bool capture = Opens(SND_PCM_STREAM_CAPTURE);
    return playback || capture ? 0 : 1;
}
