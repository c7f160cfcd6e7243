/* The library's diagnostics as a C host routes them: without a handler they
 * reach standard output byte for byte; with one, the handler receives the
 * text and the context it arose in, and standard output nothing. Installing
 * a handler while other threads calibrate is safe, and the handler's calls
 * never overlap (the counts below are plain integers; the ThreadSanitizer
 * build runs this program too). */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "orvane.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "message handler: %s\n", what);
        ++failures;
    }
}

typedef struct received {
    int calls;
    const cal_context* ctx;
    char text[1024];
} received;

static void keep(void* user, const cal_context* ctx, const char* text) {
    received* r = (received*)user;
    ++r->calls;
    r->ctx = ctx;
    snprintf(r->text, sizeof r->text, "%s", text);
}

/* Standard output of one state dump attempt on `ctx`. */
static void dump_to(cal_context* ctx, const char* path, char* printed, size_t size) {
    dccmap map;
    FILE* capture = tmpfile();
    fflush(stdout);
    const int saved = dup(1);
    dup2(fileno(capture), 1);
    Orvane_get_dccmap(ctx, &map, path);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    rewind(capture);
    const size_t n = fread(printed, 1, size - 1, capture);
    printed[n] = '\0';
    fclose(capture);
}

static cal_context* context(void) {
    cal_settings settings;
    memset(&settings, 0, sizeof settings);
    settings.win_rows = 1;
    settings.win_cols = 1;
    settings.sweep_frames = 5;
    return Orvane_create(&settings);
}

enum { WORKERS = 3, DUMPS = 200 };

typedef struct worker {
    cal_context* ctx;
    char path[64];
} worker;

typedef struct tally {
    int calls[WORKERS];
    int wrong;
} tally;

static worker workers[WORKERS];

static void count(void* user, const cal_context* ctx, const char* text) {
    tally* t = (tally*)user;
    for (int i = 0; i < WORKERS; ++i) {
        if (ctx != workers[i].ctx) continue;
        char expected[128];
        snprintf(expected, sizeof expected, "Cannot open file for write: %s\n", workers[i].path);
        t->wrong += strcmp(text, expected) != 0;
        ++t->calls[i];
        return;
    }
    ++t->wrong;
}

static void* dump_many(void* arg) {
    worker* w = (worker*)arg;
    dccmap map;
    for (int k = 0; k < DUMPS; ++k) Orvane_get_dccmap(w->ctx, &map, w->path);
    return NULL;
}

int main(void) {
    cal_context* a = context();
    cal_context* b = context();
    if (a == NULL || b == NULL) return 1;
    const char* bad = "/nonexistent-orvane-dir/state.bin";
    char long_path[600] = "/nonexistent-orvane-dir/";
    memset(long_path + strlen(long_path), 'p', 500);
    char expected[700];
    char printed[1024];
    received r;
    memset(&r, 0, sizeof r);

    /* No handler: standard output, as ever. */
    dump_to(a, bad, printed, sizeof printed);
    check(strcmp(printed, "Cannot open file for write: /nonexistent-orvane-dir/state.bin\n") == 0,
          "without a handler the text is not on standard output");

    /* A handler: the text and its context, nothing on standard output; a
     * long path arrives whole. */
    Orvane_set_message_handler(keep, &r);
    const char* paths[] = {bad, long_path};
    cal_context* contexts[] = {b, a};
    for (int i = 0; i < 2; ++i) {
        dump_to(contexts[i], paths[i], printed, sizeof printed);
        snprintf(expected, sizeof expected, "Cannot open file for write: %s\n", paths[i]);
        check(printed[0] == '\0', "with a handler something reached standard output");
        check(r.calls == i + 1, "the handler was not called once per message");
        check(r.ctx == contexts[i], "the handler got another context");
        check(strcmp(r.text, expected) == 0, "the handler got another text");
    }

    /* Removed again: standard output. */
    Orvane_set_message_handler(NULL, &r);
    dump_to(a, bad, printed, sizeof printed);
    check(strcmp(printed, "Cannot open file for write: /nonexistent-orvane-dir/state.bin\n") == 0,
          "after removing the handler the text is not on standard output");
    check(r.calls == 2, "a removed handler was called");

    /* Workers report while the main thread swaps between two handlers:
     * every message reaches one of them, with its worker's context. */
    tally first, second;
    memset(&first, 0, sizeof first);
    memset(&second, 0, sizeof second);
    Orvane_set_message_handler(count, &first);
    pthread_t threads[WORKERS];
    for (int i = 0; i < WORKERS; ++i) {
        workers[i].ctx = context();
        if (workers[i].ctx == NULL) return 1;
        snprintf(workers[i].path, sizeof workers[i].path, "/nonexistent-orvane-dir/%d.bin", i);
        pthread_create(&threads[i], NULL, dump_many, &workers[i]);
    }
    for (int k = 0; k < 1000; ++k) Orvane_set_message_handler(count, k % 2 ? &first : &second);
    for (int i = 0; i < WORKERS; ++i) pthread_join(threads[i], NULL);
    Orvane_set_message_handler(NULL, NULL);
    for (int i = 0; i < WORKERS; ++i) {
        check(first.calls[i] + second.calls[i] == DUMPS, "a worker's messages went astray");
        Orvane_destroy(workers[i].ctx);
    }
    check(first.wrong + second.wrong == 0, "a message came with another text or context");

    Orvane_destroy(a);
    Orvane_destroy(b);
    return failures == 0 ? 0 : 1;
}
