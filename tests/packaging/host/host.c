/* An outside host: creates a context, prints the library version and the
 * package version of the installed headers, destroys the context. Exits
 * non-zero when any step fails. */
#include <orvane.h>
#include <orvane_state.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    cal_settings settings;
    memset(&settings, 0, sizeof settings);
    settings.win_rows = 1;
    settings.win_cols = 1;

    cal_context* ctx = Orvane_create(&settings);
    if (ctx == NULL) {
        fprintf(stderr, "host: cannot create a context\n");
        return 1;
    }
    char version[ORVANE_LIB_VERSION_BUFFER_SIZE];
    const int32_t length = Orvane_get_lib_version(version);
    if (length <= 0 || (size_t)length != strlen(version)) {
        fprintf(stderr, "host: bad version text\n");
        return 1;
    }
    fputs(version, stdout);
    /* The state layout header is installed beside orvane.h and usable. */
    if (sizeof(cal_state) != ORVANE_STATE_DUMP_SIZE) {
        fprintf(stderr, "host: cal_state is not a state dump\n");
        return 1;
    }
    printf("package %s\n", ORVANE_VERSION_STRING);
    if (Orvane_destroy(ctx) != 0) {
        fprintf(stderr, "host: destroy failed\n");
        return 1;
    }
    return 0;
}
