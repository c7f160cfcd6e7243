/* A minimal host: create a context, identify the library, extract the PD
 * images of a generated raw frame, and release everything. Plain C. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "orvane.h"

enum { WIDTH = 64, HEIGHT = 32 };

int main(void) {
    cal_settings settings;
    memset(&settings, 0, sizeof settings);
    settings.win_rows = 1;
    settings.win_cols = 1;
    settings.sweep_frames = 5;

    cal_context* ctx = Orvane_create(&settings);
    if (ctx == NULL) {
        fprintf(stderr, "cannot allocate the calibration context\n");
        return 1;
    }

    char version[ORVANE_LIB_VERSION_BUFFER_SIZE];
    char features[ORVANE_LIB_FEATURES_BUFFER_SIZE];
    Orvane_get_lib_version(version);
    Orvane_get_lib_features(features);
    if (strncmp(version, "Orvane Library", 14) != 0) return 1;
    fputs(version, stdout);
    fputs(features, stdout);

    /* 16 x 16 PD blocks, one left/right pair side by side per block. */
    sensor_cfg cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.image_width = WIDTH;
    cfg.image_height = HEIGHT;
    cfg.black_level = 64;
    cfg.block_width = 16;
    cfg.block_height = 16;
    cfg.pair_count = 1;
    cfg.left_x[0] = 4;
    cfg.left_y[0] = 6;
    cfg.right_x[0] = 5;
    cfg.right_y[0] = 6;

    static uint16_t raw[WIDTH * HEIGHT];
    for (int y = 0; y < HEIGHT; ++y)
        for (int x = 0; x < WIDTH; ++x) raw[y * WIDTH + x] = (uint16_t)(64 + 8 * x + y);

    uint16_t left[8], right[8];
    uint32_t status = Orvane_validate_sensor_cfg(raw, &cfg, left, right);
    printf("sensor configuration check: status 0x%x\n", (unsigned)status);
    if (status == ORVANE_OK) {
        printf("PD images (4 x 2 samples):\n");
        for (int r = 0; r < 2; ++r) {
            printf("  left :");
            for (int c = 0; c < 4; ++c) printf(" %5u", (unsigned)left[r * 4 + c]);
            printf("\n  right:");
            for (int c = 0; c < 4; ++c) printf(" %5u", (unsigned)right[r * 4 + c]);
            printf("\n");
        }
    }

    if (Orvane_destroy(ctx) != 0) return 1;
    return status == ORVANE_OK ? 0 : 1;
}
