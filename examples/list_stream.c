/* Lists the cameras, opens the first one (or plays a raw recording given as
 * the argument) and streams 30 frames, printing each one's index and
 * temperatures. Plain C99 against <pylox/pylox.h>.
 *   list_stream [recording.raw] */
#include <pylox/pylox.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    pylox_dev_t list[8];
    pylox_dev_t *dev;
    pylox_frame_info_t info;
    unsigned char *frame;
    const int frame_len = 320 * 240 * 8; /* four 16-bit phase samples per pixel */
    int n, i, got = 0;

    pylox_init("/dev/null"); /* the library's log goes nowhere */
    pylox_log_cfg(TQ_LOG_ERR, TQ_LOG_NONE, TQ_LOG_NONE);
    if (argc > 1) {
        dev = pylox_dev_open_replay(argv[1]);
    } else {
        n = pylox_dev_list(list, 8);
        printf("%d camera(s)\n", n);
        for (i = 0; i < n; ++i)
            printf("  %d: bus %u port %u\n", i, list[i].loc.usb.bus, list[i].loc.usb.port);
        dev = n > 0 ? pylox_dev_open(&list[0]) : NULL;
    }
    if (!dev) {
        fprintf(stderr, "no camera to open\n");
        pylox_uninit();
        return 1;
    }
    printf("opened %.32s\n", dev->product);

    frame = malloc((size_t)frame_len);
    if (frame && pylox_cap_start(dev)) {
        for (i = 0; i < 30; ++i) {
            /* Waits for the next frame; a negative result is a capture status. */
            if (pylox_cap_get_frames(dev, 1, frame, frame_len, &info) != 1)
                break;
            ++got;
            printf("frame %u: %ux%u, %u bytes, %.1f/%.1f C\n", info.frame_idx, info.width,
                   info.height, info.frame_size, (short)info.temp0 / 10.0,
                   (short)info.temp1 / 10.0);
        }
        pylox_cap_stop(dev);
    }
    printf("%d frames\n", got);
    free(frame);
    pylox_dev_close(dev);
    pylox_uninit();
    return got > 0 ? 0 : 1;
}
