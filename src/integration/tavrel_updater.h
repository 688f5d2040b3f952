/* The Tavrel updater's application side, for any language that can call C.
 *
 * The application downloads update.zip into a directory of its own whose name begins with
 * "tavrel-download-", starts the updater, waits until the updater has written "ready" (and,
 * for the shortest time without the application, "prepared"), then exits. The updater installs
 * the update and starts the application again with "--disable-splash" and, after an update,
 * "--tavrel-update-event=NAME": the new application then confirms its start within 60 seconds,
 * or the update is rolled back. After a failure once it had exited, the application finds a
 * failure record in the download directory at its next start.
 *
 * Every string is UTF-8 and NUL-terminated. No function raises an exception, keeps a pointer
 * it was given, or hands out memory that the caller must free, except tavrel_updater objects
 * (tavrel_release_updater). Functions are safe to call from any thread.
 */
#ifndef TAVREL_UPDATER_H
#define TAVREL_UPDATER_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(TAVREL_UPDATER_BUILDING)
#define TAVREL_API __declspec(dllexport)
#elif defined(_WIN32)
#define TAVREL_API __declspec(dllimport)
#else
#define TAVREL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum tavrel_result {
    TAVREL_OK = 0,
    /* A null pointer, an empty string, text that is not UTF-8, or a buffer too small. */
    TAVREL_INVALID_ARGUMENT = 1,
    /* The updater executable is missing or could not be started. */
    TAVREL_NOT_STARTED = 2,
    /* The archive is not "<directory beginning with tavrel-download->/update.zip", or the
       download directory's name does not begin with "tavrel-download-". */
    TAVREL_BAD_DOWNLOAD_DIRECTORY = 3,
    /* The wait's limit passed before the marker was there. */
    TAVREL_TIMED_OUT = 4,
    /* The updater ended before it wrote the marker (it refused its command line, or another
       updater holds the installation). */
    TAVREL_UPDATER_ENDED = 5,
    /* There is no such thing: no startup-event switch among the arguments, no failure record. */
    TAVREL_NOT_FOUND = 6,
    /* The system refused: the cancel marker could not be written, the event not signalled. */
    TAVREL_FAILED = 7
} tavrel_result;

/* A short English text for a result, for logs. Never null. */
TAVREL_API const char* tavrel_result_text(tavrel_result result);

/* A started updater process. */
typedef struct tavrel_updater tavrel_updater;

/* Starts the updater in update mode with this process as the application that waits.
 * updater_path: the updater executable; app_dir: the installation directory; archive_path:
 * "<download dir>/update.zip"; signature_base64: the feed's 88 characters; size: the feed's
 * size in bytes; version: the feed's "major.minor.patch". On TAVREL_OK, *updater holds the
 * started updater; release it with tavrel_release_updater. */
TAVREL_API tavrel_result tavrel_start_update(const char* updater_path, const char* app_dir,
                                             const char* archive_path, const char* signature_base64,
                                             uint64_t size, const char* version,
                                             tavrel_updater** updater);

/* Starts the updater in recovery mode (it undoes an update that was cut short and starts the
 * application); its working directory is the download directory. */
TAVREL_API tavrel_result tavrel_start_recovery(const char* updater_path, const char* app_dir,
                                               const char* download_dir, tavrel_updater** updater);

/* The updater's process id, 0 for null. */
TAVREL_API uint32_t tavrel_updater_process_id(const tavrel_updater* updater);

/* Closes the handles of a started updater; the updater runs on. Null is ignored. */
TAVREL_API void tavrel_release_updater(tavrel_updater* updater);

/* Waits until the updater has written "ready" into download_dir: TAVREL_OK, TAVREL_TIMED_OUT
 * after `milliseconds`, or TAVREL_UPDATER_ENDED. `updater` may be null (then only the time
 * limit ends the wait). The application may exit once it returns TAVREL_OK. */
TAVREL_API tavrel_result tavrel_wait_for_ready(const tavrel_updater* updater,
                                               const char* download_dir, uint32_t milliseconds);

/* After "ready": waits until the updater has written "prepared" (the download is checked, the
 * update unpacked and flushed), with the same results. An application that exits only now
 * leaves the user without it for the moves alone. */
TAVREL_API tavrel_result tavrel_wait_for_prepared(const tavrel_updater* updater,
                                                  const char* download_dir, uint32_t milliseconds);

/* Calls the update off before the application exits: the updater removes the download
 * directory and what it unpacked, and ends showing nothing. */
TAVREL_API tavrel_result tavrel_place_cancel(const char* download_dir);

/* The NAME of "--tavrel-update-event=NAME" among the application's arguments (argv[0]
 * included or not), copied into `name` (NUL-terminated) when it fits in `name_size` bytes:
 * TAVREL_OK, TAVREL_NOT_FOUND when the switch is absent (a start that needs no confirmation),
 * TAVREL_INVALID_ARGUMENT when the buffer is too small. On Windows, pass the arguments as
 * UTF-8 (from CommandLineToArgvW and WideCharToMultiByte). */
TAVREL_API tavrel_result tavrel_startup_event_name(int argc, const char* const* argv, char* name,
                                                   size_t name_size);

/* Tells the updater that the application has started: call it once the application works. */
TAVREL_API tavrel_result tavrel_confirm_startup(const char* event_name);

/* What the updater left after a failure once the application had exited. */
typedef struct tavrel_failure_record {
    int code;             /* stable, one per failure (README: the failure record) */
    char message[2048];   /* the message shown, cut at a character boundary if longer */
    char installed[32];   /* the version of the installed Tavrel.exe after the run, or
                             "unknown" */
    char rolled_back[16]; /* "no", "yes" or "incomplete" */
} tavrel_failure_record;

/* Reads the failure record of download_dir: TAVREL_OK, or TAVREL_NOT_FOUND when there is no
 * whole record. The application reports it, then removes the download directory. */
TAVREL_API tavrel_result tavrel_read_failure_record(const char* download_dir,
                                                    tavrel_failure_record* record);

#ifdef __cplusplus
}
#endif

#endif /* TAVREL_UPDATER_H */
