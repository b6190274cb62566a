/* Takes one frame (from the first camera, or from a raw recording given as
 * the argument), turns it into distances and a point cloud with the
 * driver's lens, and writes an ASCII PLY file.
 *   point_cloud [recording.raw] [out.ply] */
#include <pylox/pylox.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    const char *out = argc > 2 ? argv[2] : "cloud.ply";
    const int w = 320, h = 240, frame_len = 320 * 240 * 8;
    pylox_frame_info_t info;
    unsigned char *frame = malloc((size_t)frame_len);
    float *dist = malloc(sizeof(float) * (size_t)(w * h));
    float *pcl = malloc(sizeof(float) * 3 * (size_t)(w * h));
    pylox_dev_t *dev;
    int points = 0, i, rc = 1;
    FILE *f;

    pylox_init("/dev/null");
    pylox_log_cfg(TQ_LOG_ERR, TQ_LOG_NONE, TQ_LOG_NONE);
    /* An empty first argument means the camera (to name an output file). */
    dev = argc > 1 && argv[1][0] ? pylox_dev_open_replay(argv[1]) : pylox_dev_open(NULL);
    if (dev && frame && dist && pcl && pylox_cap_snapshot(dev, frame, frame_len, &info) > 0 &&
        pylox_frame_get_distance(dev, dist, w * h, frame, frame_len, &info) == w * h) {
        /* Null lens: the driver's intrinsics. Pixels without a distance are left out. */
        points = pylox_frame_get_pcl(dev, pcl, 3 * w * h, dist, w * h, w, h, NULL);
        f = fopen(out, "w");
        if (f && points > 0) {
            fprintf(f, "ply\nformat ascii 1.0\nelement vertex %d\n"
                       "property float x\nproperty float y\nproperty float z\nend_header\n",
                    points);
            for (i = 0; i < points; ++i)
                fprintf(f, "%.4f %.4f %.4f\n", pcl[3 * i], pcl[3 * i + 1], pcl[3 * i + 2]);
            rc = 0;
        }
        if (f)
            fclose(f);
    }
    printf("%s: %d points\n", out, points);
    if (dev)
        pylox_dev_close(dev);
    pylox_uninit();
    free(frame);
    free(dist);
    free(pcl);
    return rc;
}
