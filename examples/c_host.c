/*
 * Example host in C, linked against libkvoapi like any C library (no dlopen):
 * creates an instance, registers a gateway address for both markets when one
 * is given, logs in, asks for a code list, subscribes, waits a moment for
 * data and releases the instance, printing every result.
 *
 *   kvo_c_host [gateway-host port [user password]]
 *
 * Without a gateway it still runs the calls: the login answers success (no
 * market is registered), the code list is empty and the subscription fails.
 * The exit status is 0 when the instance was created, logged in and released.
 *
 * Build against an installed library:
 *   cc c_host.c $(pkg-config --cflags --libs kvoapi) -o kvo_c_host
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */

#include <kvoapi.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

/* Counted on the library's threads, read on the main one. */
static atomic_uint g_batches;

static int32_t on_data(void* handle, const void* records, uint32_t count, const PushTiming* timing) {
    (void)handle;
    (void)records;
    ++g_batches;
    printf("data: %u records, produced at %llu ms\n", count, timing ? (unsigned long long)timing->produce_time : 0ULL);
    return 0;
}

static void on_notify(void* handle, const NotifyRecord* record) {
    (void)handle;
    printf("notify: code %d\n", record ? record->code : 0);
}

int main(int argc, char** argv) {
    const char* host = argc > 2 ? argv[1] : NULL;
    const uint16_t port = (uint16_t)(argc > 2 ? atoi(argv[2]) : 0);
    const char* user = argc > 4 ? argv[3] : "demo";
    const char* password = argc > 4 ? argv[4] : "demo";

    InstanceConfig cfg;
    InstanceConfig_SetDefaults(&cfg);
    cfg.m_authtype = 1; /* the gateway checks the account itself */
    cfg.fnctickindex = on_data;
    cfg.fnctickstock = on_data;
    cfg.fnctransacton = on_data;
    cfg.fncorderdata = on_data;
    cfg.fncorderqueue = on_data;
    cfg.fncfivelevel = on_data;
    cfg.fncsuperstock = on_data;
    cfg.fncnotify = on_notify;

    void* h = KvoCreateInstance(&cfg);
    if (!h) {
        fprintf(stderr, "KvoCreateInstance failed\n");
        return 1;
    }
    if (host) {
        printf("KvoRegisterAddr(USH, %s, %u) -> %d\n", host, port, KvoRegisterAddr(h, "USH", host, port));
        printf("KvoRegisterAddr(USZ, %s, %u) -> %d\n", host, port, KvoRegisterAddr(h, "USZ", host, port));
    }

    int logged_in = 0;
    LoginResult* login = KvoLogin(h, user, password);
    if (login) {
        logged_in = login->nstatuscode == KVO_OK;
        printf("KvoLogin(%s) -> %d, expire_date \"%.*s\"\n", user, login->nstatuscode, (int)sizeof(login->expire_date),
               login->expire_date);
        KvoFreeMem(login);
    }

    uint32_t length = 0;
    char* codes = KvoGetCodelist(h, "USH", &length);
    printf("KvoGetCodelist(USH) -> %u bytes\n", codes ? length : 0u);
    if (codes) KvoFreeMem(codes);

    printf("KvoSubScribe(stock, replace, USH, 600000) -> %d\n", KvoSubScribe(h, 2, 1, "USH", "600000"));
    if (host) {
        const struct timespec second = {1, 0};
        nanosleep(&second, NULL);
        printf("received %u batches\n", atomic_load(&g_batches));
    }

    const int32_t released = KvoReleaseInstance(h);
    printf("KvoReleaseInstance -> %d\n", released);
    return logged_in && released == 0 ? 0 : 1;
}
