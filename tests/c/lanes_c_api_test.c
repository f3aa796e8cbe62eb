/* The C interface used from C: encode, inspect, decode, and an error code
 * (never a crash) for damaged frames. Exits non-zero on the first failure. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "include/vantoresk.h"

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

static void test_round_trip_within_target(void) {
    enum { ROWS = 2, N = 3000 };
    static float x[ROWS * N];
    static float y[ROWS * N];
    vnt_layout layout;
    vnt_options options;
    vnt_error err;
    struct vnt_frame_info info;
    struct vnt_lane_info lane;
    void* frame = NULL;
    size_t size = 0;
    double targets[ROWS] = {0.01, 0.1};
    size_t i;
    for (i = 0; i < ROWS * N; ++i) x[i] = (float)(sin(0.01 * (double)i) + (double)(i % 17) * 0.001);
    x[10] = (float)NAN;
    memset(&layout, 0, sizeof layout);
    layout.dtype = VNT_FLOAT32;
    layout.order = 'C';
    layout.ndim = 2;
    layout.shape[0] = ROWS;
    layout.shape[1] = N;
    vnt_options_init(&options);
    options.target_kind = VNT_TARGET_MAX_ABS_ERROR;
    options.targets = targets;
    options.target_count = ROWS;
    CHECK(vnt_encode(x, &layout, &options, &frame, &size, &err) == VNT_OK);
    CHECK(err.status == VNT_OK && frame != NULL && size > 0 && size < sizeof x);
    CHECK(vnt_frame_info(frame, size, &info, &err) == VNT_OK);
    CHECK(info.lane_count == ROWS && info.lane_length == N && info.decoded_bytes == sizeof y);
    CHECK(info.layout.dtype == VNT_FLOAT32 && info.layout.ndim == 2 && info.axis == 1);
    CHECK(vnt_lane_info(frame, size, 0, &lane, &err) == VNT_OK && lane.nonfinite_samples == 1);
    CHECK(vnt_lane_info(frame, size, 2, &lane, &err) == VNT_INVALID_ARGUMENT);
    CHECK(vnt_decode(frame, size, y, sizeof y, &err) == VNT_OK);
    CHECK(isnan(y[10]));
    for (i = 0; i < ROWS * N; ++i) {
        if (i == 10) continue;
        if (fabs((double)x[i] - (double)y[i]) > targets[i / N]) {
            CHECK(!"a sample beyond its lane's target");
            break;
        }
    }
    CHECK(vnt_decode(frame, size, y, sizeof y - 1, &err) == VNT_BUFFER_TOO_SMALL);
    CHECK(err.status == VNT_BUFFER_TOO_SMALL && strlen(err.message) > 0);
    vnt_free(frame);
}

static void test_integers_exactly(void) {
    enum { N = 500 };
    short x[N], y[N];
    vnt_layout layout;
    vnt_options options;
    vnt_error err;
    void* frame = NULL;
    size_t size = 0;
    double exact = 0.0;
    int i;
    for (i = 0; i < N; ++i) x[i] = (short)(i * 37 % 2000 - 1000);
    x[0] = -32768;
    x[1] = 32767;
    memset(&layout, 0, sizeof layout);
    layout.dtype = VNT_INT16;
    layout.order = 'C';
    layout.ndim = 1;
    layout.shape[0] = N;
    vnt_options_init(&options);
    options.target_kind = VNT_TARGET_MAX_ABS_ERROR;
    options.targets = &exact;
    options.target_count = 1;
    CHECK(vnt_encode(x, &layout, &options, &frame, &size, &err) == VNT_OK);
    CHECK(((const unsigned char*)frame)[4] == 2); /* integer chunks need frame version 2 */
    CHECK(vnt_decode(frame, size, y, sizeof y, &err) == VNT_OK);
    CHECK(memcmp(x, y, sizeof x) == 0);
    vnt_free(frame);
}

static void test_damage_gives_error_codes(void) {
    enum { N = 800 };
    float x[N], y[N];
    vnt_layout layout;
    vnt_options options;
    vnt_error err;
    struct vnt_frame_info info;
    unsigned char* frame = NULL;
    unsigned char* copy;
    size_t size = 0, pos, cut;
    int i;
    for (i = 0; i < N; ++i) x[i] = (float)cos(0.02 * i);
    memset(&layout, 0, sizeof layout);
    layout.dtype = VNT_FLOAT32;
    layout.order = 'C';
    layout.ndim = 1;
    layout.shape[0] = N;
    vnt_options_init(&options);
    CHECK(vnt_encode(x, &layout, &options, (void**)&frame, &size, &err) == VNT_OK);
    copy = (unsigned char*)malloc(size);
    for (cut = 0; cut < size; cut += 7) {
        CHECK(vnt_frame_info(frame, cut, &info, &err) == VNT_BAD_FRAME);
        CHECK(vnt_decode(frame, cut, y, sizeof y, &err) == VNT_BAD_FRAME);
    }
    for (pos = 0; pos < size; ++pos) {
        vnt_status s;
        memcpy(copy, frame, size);
        copy[pos] ^= 0x5a;
        s = vnt_decode(copy, size, y, sizeof y, &err);
        CHECK(s == VNT_BAD_FRAME || s == VNT_UNSUPPORTED);
        CHECK(err.status == s && strstr(err.message, "not a valid vantoresk frame") != NULL);
    }
    CHECK(vnt_decode(NULL, 0, y, sizeof y, &err) == VNT_BAD_FRAME);
    CHECK(vnt_encode(x, NULL, &options, (void**)&frame, &size, &err) == VNT_INVALID_ARGUMENT);
    free(copy);
    vnt_free(frame);
}

int main(void) {
    CHECK(strncmp(vnt_version(), "vantoresk ", 10) == 0);
    test_round_trip_within_target();
    test_integers_exactly();
    test_damage_gives_error_codes();
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
