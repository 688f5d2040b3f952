/* A sample application that updates itself with the Tavrel updater through its C interface.
 *
 *   sample_app update UPDATER APP_DIR ARCHIVE SIGNATURE SIZE VERSION
 *       starts the updater, waits for "ready" and "prepared", then exits
 *   sample_app --disable-splash [--tavrel-update-event=NAME]
 *       as the updater starts it: confirms the start when asked, reports a failed update
 *       (the download directory named by SAMPLE_DOWNLOAD_DIR), appends "started" to the file
 *       named by SAMPLE_LOG, and runs for a second
 */
#include <tavrel_updater.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
/* The file version on Linux, which the updater reads as Windows reads a version resource; the
 * publisher's tavrel-set-version stamps each release's own. */
__asm__(".pushsection .note.tavrel.version,\"a\",@note\n"
        ".balign 4\n"
        ".long 7\n"
        ".long 52\n"
        ".long 0x56534649\n"
        ".asciz \"Tavrel\"\n"
        ".balign 4\n"
        ".long 0xFEEF04BD, 0x00010000, 0x00020000, 0x00030000, 0x00020000, 0x00030000\n"
        ".long 0x3F, 0, 0x40004, 1, 0, 0, 0\n"
        ".popsection\n");
#endif

static int fail(const char* what, tavrel_result result) {
    fprintf(stderr, "sample_app: %s: %s\n", what, tavrel_result_text(result));
    return 1;
}

static void pause_a_second(void) {
#ifdef _WIN32
    Sleep(1000);
#else
    sleep(1);
#endif
}

static int update(char** argv) {
    const char* archive = argv[4];
    char download_dir[4096];
    const char* slash = strrchr(archive, '/');
#ifdef _WIN32
    const char* backslash = strrchr(archive, '\\');
    if (!slash || (backslash && backslash > slash))
        slash = backslash;
#endif
    if (!slash || (size_t)(slash - archive) >= sizeof download_dir)
        return fail("the archive has no directory", TAVREL_INVALID_ARGUMENT);
    memcpy(download_dir, archive, (size_t)(slash - archive));
    download_dir[slash - archive] = '\0';

    tavrel_updater* updater = NULL;
    tavrel_result result = tavrel_start_update(argv[2], argv[3], archive, argv[5],
                                               strtoull(argv[6], NULL, 10), argv[7], &updater);
    if (result != TAVREL_OK)
        return fail("start", result);
    result = tavrel_wait_for_ready(updater, download_dir, 60000);
    if (result == TAVREL_OK)
        /* The shortest time without the application: exit once the update is prepared. */
        result = tavrel_wait_for_prepared(updater, download_dir, 300000);
    printf("updater %u: %s\n", (unsigned)tavrel_updater_process_id(updater),
           tavrel_result_text(result));
    tavrel_release_updater(updater);
    return result == TAVREL_OK ? 0 : fail("wait", result);
}

static int run_as_application(int argc, char** argv) {
    const char* download_dir = getenv("SAMPLE_DOWNLOAD_DIR");
    tavrel_failure_record record;
    if (download_dir && tavrel_read_failure_record(download_dir, &record) == TAVREL_OK)
        printf("the last update failed (code %d): %s\n", record.code, record.message);
    char event[256];
    const tavrel_result found =
        tavrel_startup_event_name(argc, (const char* const*)argv, event, sizeof event);
    if (found == TAVREL_OK && tavrel_confirm_startup(event) != TAVREL_OK)
        return fail("confirm", TAVREL_FAILED);
    const char* log = getenv("SAMPLE_LOG");
    FILE* out = log ? fopen(log, "a") : NULL;
    if (out) {
        fprintf(out, "started%s\n", found == TAVREL_OK ? " after an update" : "");
        fclose(out);
    }
    pause_a_second();
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 8 && strcmp(argv[1], "update") == 0)
        return update(argv);
    if (argc >= 2 && strcmp(argv[1], "--disable-splash") == 0)
        return run_as_application(argc, argv);
    fprintf(stderr, "usage: sample_app update UPDATER APP_DIR ARCHIVE SIGNATURE SIZE VERSION\n");
    return 2;
}
