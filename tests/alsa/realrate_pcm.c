/* An ALSA playback device that behaves like hardware: it starts only when its start
 * threshold is reached, then consumes frames at the real rate whether or not more
 * come, and runs dry (an underrun) when the player falls behind. It writes the
 * CLOCK_MONOTONIC time, in microseconds, at which each click (a sample far louder
 * than the rest) would leave the loudspeaker to the file named by QX_REALRATE_LOG,
 * and "played <frames>" when it is closed. Loaded through a private ALSA
 * configuration as pcm type "qxrealrate". */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#define MAX_PENDING 64

typedef struct {
    snd_pcm_ioplug_t io;
    int pipe_fds[2];
    FILE* log;
    int running;
    uint64_t start_us;
    /* Frames since prepare: written by the player, and consumed when stopped. */
    uint64_t written;
    uint64_t consumed_at_stop;
    uint64_t played_total;
    int64_t last_click;
    uint64_t pending[MAX_PENDING];
    int pending_count;
} realrate_t;

static uint64_t now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

static uint64_t consumed(const realrate_t* rr) {
    if (!rr->running)
        return rr->consumed_at_stop;
    return (now_us() - rr->start_us) * rr->io.rate / 1000000u;
}

static void log_click(realrate_t* rr, uint64_t frame) {
    if (rr->log == NULL)
        return;
    fprintf(rr->log, "%llu\n", (unsigned long long)(rr->start_us + frame * 1000000u / rr->io.rate));
    fflush(rr->log);
}

static int rr_start(snd_pcm_ioplug_t* io) {
    realrate_t* rr = io->private_data;
    rr->start_us = now_us();
    rr->running = 1;
    for (int i = 0; i < rr->pending_count; ++i)
        log_click(rr, rr->pending[i]);
    rr->pending_count = 0;
    return 0;
}

static int rr_stop(snd_pcm_ioplug_t* io) {
    realrate_t* rr = io->private_data;
    if (rr->running) {
        uint64_t done = consumed(rr);
        rr->consumed_at_stop = done < rr->written ? done : rr->written;
        rr->played_total += rr->consumed_at_stop;
    }
    rr->running = 0;
    return 0;
}

static int rr_prepare(snd_pcm_ioplug_t* io) {
    realrate_t* rr = io->private_data;
    rr->running = 0;
    rr->written = 0;
    rr->consumed_at_stop = 0;
    rr->pending_count = 0;
    rr->last_click = -1000000;
    return 0;
}

static snd_pcm_sframes_t rr_pointer(snd_pcm_ioplug_t* io) {
    realrate_t* rr = io->private_data;
    uint64_t done = consumed(rr);
    if (rr->running && done > rr->written)
        return -EPIPE;
    return (snd_pcm_sframes_t)(done % io->buffer_size);
}

static snd_pcm_sframes_t rr_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                     snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    realrate_t* rr = io->private_data;
    const unsigned char* base = (const unsigned char*)areas[0].addr + areas[0].first / 8;
    const unsigned step = areas[0].step / 8;
    for (snd_pcm_uframes_t i = 0; i < size; ++i) {
        const unsigned char* sample = base + (offset + i) * step;
        int value = io->format == SND_PCM_FORMAT_U8 ? (sample[0] - 128) * 256
                                                    : (int16_t)(sample[0] | (sample[1] << 8));
        int64_t frame = (int64_t)(rr->written + i);
        if (abs(value) > 15000 && frame - rr->last_click > (int64_t)io->rate / 2) {
            rr->last_click = frame;
            if (rr->running)
                log_click(rr, (uint64_t)frame);
            else if (rr->pending_count < MAX_PENDING)
                rr->pending[rr->pending_count++] = (uint64_t)frame;
        }
    }
    rr->written += size;
    return (snd_pcm_sframes_t)size;
}

static int rr_close(snd_pcm_ioplug_t* io) {
    realrate_t* rr = io->private_data;
    rr_stop(io);
    if (rr->log != NULL) {
        fprintf(rr->log, "played %llu\n", (unsigned long long)rr->played_total);
        fclose(rr->log);
    }
    close(rr->pipe_fds[0]);
    close(rr->pipe_fds[1]);
    free(rr);
    return 0;
}

static const snd_pcm_ioplug_callback_t kCallbacks = {
    .start = rr_start,
    .stop = rr_stop,
    .pointer = rr_pointer,
    .transfer = rr_transfer,
    .close = rr_close,
    .prepare = rr_prepare,
};

static int set_constraints(snd_pcm_ioplug_t* io) {
    static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned int formats[] = {SND_PCM_FORMAT_U8, SND_PCM_FORMAT_S16_LE};
    int err;
    if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 2, formats)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 8000, 48000)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 256, 65536)) <
            0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0)
        return err;
    return 0;
}

SND_PCM_PLUGIN_DEFINE_FUNC(qxrealrate) {
    (void)root;
    (void)conf;
    if (stream != SND_PCM_STREAM_PLAYBACK)
        return -EINVAL;
    realrate_t* rr = calloc(1, sizeof *rr);
    if (rr == NULL)
        return -ENOMEM;
    if (pipe(rr->pipe_fds) < 0) {
        free(rr);
        return -errno;
    }
    const char* path = getenv("QX_REALRATE_LOG");
    rr->log = path != NULL ? fopen(path, "a") : NULL;
    rr->io.version = SND_PCM_IOPLUG_VERSION;
    rr->io.name = "qx real-rate device";
    rr->io.callback = &kCallbacks;
    rr->io.private_data = rr;
    /* The write end of a pipe is always ready: waits are the player's own. */
    rr->io.poll_fd = rr->pipe_fds[1];
    rr->io.poll_events = POLLOUT;
    rr->io.mmap_rw = 0;
    int err = snd_pcm_ioplug_create(&rr->io, name, stream, mode);
    if (err < 0) {
        if (rr->log != NULL)
            fclose(rr->log);
        close(rr->pipe_fds[0]);
        close(rr->pipe_fds[1]);
        free(rr);
        return err;
    }
    if ((err = set_constraints(&rr->io)) < 0) {
        snd_pcm_ioplug_delete(&rr->io);
        return err;
    }
    *pcmp = rr->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(qxrealrate);
