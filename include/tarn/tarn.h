/*
 * libtarn: reading and writing tarn archives.
 *
 * A tarn archive (.trn) holds files and directories, each file packed on its
 * own -- or, with solid groups, small files packed together -- by a context
 * model tuned for text, after reversible filters for text, x86 code and
 * sampled data. Every file's bytes are checked with a CRC-32.
 *
 * The interface is plain C (C99 and C++): opaque handles, and every call
 * returns a tarn_result. Nothing throws, exits or prints across it. A handle
 * may be used from one thread at a time; different handles may be used from
 * different threads at once. Callbacks are called on the thread that made
 * the call, before it returns.
 *
 * Strings are bytes, as the archive stores them. A stored name uses '\\' as
 * its only separator; tarn_entry.path gives the same name as a relative path
 * of this system, made safe (no drive, no leading separator, no "." or ".."
 * parts).
 *
 * When a call fails, tarn_last_error() gives a text for the user that names
 * the file and the reason ("a.trn: No such file or directory"), until the
 * next failing call on the same thread.
 *
 * The archives this library writes are byte for byte the ones the tarnc
 * program writes for the same files, names, times and options, on every
 * machine and for any number of threads.
 */
#ifndef TARN_TARN_H
#define TARN_TARN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && defined(TARN_SHARED_BUILD)
#define TARN_API __declspec(dllexport)
#elif defined(_WIN32) && defined(TARN_SHARED)
#define TARN_API __declspec(dllimport)
#elif defined(__GNUC__)
#define TARN_API __attribute__((visibility("default")))
#else
#define TARN_API
#endif

/* ---- Version ------------------------------------------------------------ */

#define TARN_VERSION_MAJOR 0
#define TARN_VERSION_MINOR 75
#define TARN_VERSION_PATCH 0
/* MAJOR * 10000 + MINOR * 100 + PATCH */
#define TARN_VERSION_NUMBER (TARN_VERSION_MAJOR * 10000 + TARN_VERSION_MINOR * 100 + TARN_VERSION_PATCH)
#define TARN_VERSION_STRING "0.75.0"

/* The version of the library in use, as TARN_VERSION_NUMBER and as text. */
TARN_API unsigned tarn_version_number(void);
TARN_API const char* tarn_version_string(void);

/* ---- Results ------------------------------------------------------------ */

typedef enum tarn_result {
  TARN_OK = 0,
  TARN_ERROR_ARGUMENT = 1,       /* a null pointer, an index out of range, an unknown option */
  TARN_ERROR_IO = 2,             /* the system refused a read or a write */
  TARN_ERROR_NOT_ARCHIVE = 3,    /* no archive header was found */
  TARN_ERROR_VERSION = 4,        /* an archive of another format version */
  TARN_ERROR_DAMAGED_TABLE = 5,  /* the archive's file table is damaged */
  TARN_ERROR_DAMAGED_ENTRY = 6,  /* an entry's bytes failed their CRC, or its packed piece is damaged */
  TARN_ERROR_NO_MEMORY = 7,      /* memory could not be had */
  TARN_ERROR_TOO_BIG = 8,        /* more than an archive can hold (2,128,609,280 bytes in all) */
  TARN_ERROR_NOT_FOUND = 9,      /* no such entry, or nothing selected */
  TARN_ERROR_EXISTS = 10,        /* an existing file was not replaced */
  TARN_ERROR_REFUSED = 11,       /* an entry or input was left out (unsafe path, link, name too long) */
  TARN_ERROR_ABORTED = 12,       /* a callback asked to stop */
  TARN_ERROR_STATE = 13,         /* the handle cannot do that now */
  TARN_ERROR_END_OF_DATA = 14,   /* the archive ends before its data does */
  TARN_ERROR_STUB = 15           /* the self-extractor stub cannot be used */
} tarn_result;

/* A short fixed text for a result ("damaged entry"). */
TARN_API const char* tarn_strerror(int result);
/* The detail of the last failing call on this thread, or "" (never null). */
TARN_API const char* tarn_last_error(void);

/* Frees memory the library handed out (tarn_extract_to_memory, tarn_compress). */
TARN_API void tarn_free(void* data);

/* For a program, called once at its start: a terminating signal (SIGINT,
 * SIGTERM, SIGHUP, SIGPIPE and the others whose default ends the process)
 * then first removes the temporaries the library has named beside an
 * archive or extracted file, where the file system gives them no nameless
 * form, and a write beyond the file-size limit fails with TARN_ERROR_IO
 * instead of ending the process. Signals the program ignores stay ignored.
 * Signal handlers are the process's: a library built on libtarn leaves this
 * to its program. Calling it again does nothing. */
TARN_API void tarn_remove_temporaries_on_signals(void);

/* ---- Common types ------------------------------------------------------- */

/* Methods, as the archive header records them. */
enum {
  TARN_METHOD_STORE = 0,
  TARN_METHOD_QUICKEST = 1,
  TARN_METHOD_FAST = 2,
  TARN_METHOD_NORMAL = 3,
  TARN_METHOD_GOOD = 4,
  TARN_METHOD_SUPERB = 5,
  TARN_METHOD_EXTREME = 6
};

/* Filters that may be turned off when packing. */
enum {
  TARN_FILTER_TEXT = 1,
  TARN_FILTER_EXE = 2,
  TARN_FILTER_MULTIMEDIA = 4,
  TARN_FILTER_LOW_REDUNDANCY = 8,
  TARN_FILTER_STRIDE = 16
};

/* DOS attribute bits of an entry. */
enum {
  TARN_ATTR_READ_ONLY = 0x01,
  TARN_ATTR_HIDDEN = 0x02,
  TARN_ATTR_SYSTEM = 0x04,
  TARN_ATTR_DIRECTORY = 0x10,
  TARN_ATTR_ARCHIVE = 0x20
};

/* Reads up to `size` bytes into `buffer`: the count read, 0 at the end, or
 * a negative number on failure. */
typedef int64_t (*tarn_read_fn)(void* opaque, void* buffer, size_t size);
/* Moves to `offset` from the start (whence 0), the current position (1) or
 * the end (2): the new position from the start, or a negative number on
 * failure. */
typedef int64_t (*tarn_seek_fn)(void* opaque, int64_t offset, int whence);
/* Takes `size` bytes: 0 to go on, anything else to stop (TARN_ERROR_ABORTED). */
typedef int (*tarn_write_fn)(void* opaque, const void* data, size_t size);

/* What a long call reports while it works. */
typedef enum tarn_event_kind {
  TARN_EVENT_ENTRY_START = 1, /* an entry begins: index, name, total = its size */
  TARN_EVENT_PROGRESS = 2,    /* done of total bytes of the whole call */
  TARN_EVENT_ENTRY_DONE = 3,  /* an entry is done: index, name, code (TARN_OK or why not) */
  TARN_EVENT_CRC_ERROR = 4,   /* an entry's bytes are wrong: index, name */
  TARN_EVENT_NOTE = 5         /* something the user should know: code, name, text */
} tarn_event_kind;

typedef struct tarn_event {
  int kind;          /* tarn_event_kind */
  int64_t index;     /* the entry's index in the table (or in the order added), -1 for none */
  const char* name;  /* the stored name or path concerned, or NULL */
  uint64_t done;
  uint64_t total;
  int code;          /* a tarn_result telling why (ENTRY_DONE, NOTE) */
  const char* text;  /* NOTE: the note ("skipped: a link on the path"), else NULL */
} tarn_event;

/* Gets the events of a call: 0 to go on, anything else to stop the call
 * (it then returns TARN_ERROR_ABORTED). */
typedef int (*tarn_event_fn)(void* opaque, const tarn_event* event);

/* ---- Reading ------------------------------------------------------------ */

typedef struct tarn_reader tarn_reader;

typedef struct tarn_archive_info {
  uint64_t entry_count;
  uint64_t total_size;     /* the entries' bytes, as the header records them */
  uint64_t archive_size;   /* the archive's length */
  uint64_t header_offset;  /* where the archive starts: the size of a self-extractor stub in front */
  int method;              /* TARN_METHOD_* */
  uint32_t reserved[8];
} tarn_archive_info;

typedef struct tarn_entry {
  const char* name;      /* the stored name ('\\' separated); valid until the reader is closed */
  const char* path;      /* the name as a safe relative path of this system; valid until closed */
  uint64_t size;
  uint64_t packed_size;  /* the packed piece: of the whole group on a group's first member, 0 on the others */
  int64_t mtime;         /* last-write time, seconds since 1970 (UTC), two-second steps */
  uint32_t attributes;   /* TARN_ATTR_* */
  uint32_t mode;         /* the permission bits extraction gives it (0644, 0755, ...) */
  uint32_t crc;          /* CRC-32 of its bytes */
  int is_directory;
  int is_stored;         /* its piece holds its bytes unpacked */
  uint64_t group;        /* the index of its group: a single file is a group of its own */
  uint64_t group_size;   /* the members of its group (1 for a single file) */
  uint32_t reserved[8];
} tarn_entry;

/* Opens an archive file (the name as given, else with ".trn" added) and
 * reads its table. */
TARN_API tarn_result tarn_reader_open(tarn_reader** reader, const char* path);
/* The same over the caller's read and seek functions, which must stay
 * usable until the reader is closed. They are called on the threads that
 * call this library with the reader, one call at a time. */
TARN_API tarn_result tarn_reader_open_callbacks(tarn_reader** reader, tarn_read_fn read, tarn_seek_fn seek,
                                                void* opaque);
/* The same over bytes in memory, which must stay unchanged until the reader
 * is closed. */
TARN_API tarn_result tarn_reader_open_memory(tarn_reader** reader, const void* data, size_t size);
/* Closes a reader (null is allowed). */
TARN_API void tarn_reader_close(tarn_reader* reader);

/* Events of the reader's later calls go to `events` (null: none). */
TARN_API tarn_result tarn_reader_set_events(tarn_reader* reader, tarn_event_fn events, void* opaque);
/* Worker threads for tarn_test and tarn_extract_*: 0 (the default) for one
 * per core. The results do not depend on it. */
TARN_API tarn_result tarn_reader_set_threads(tarn_reader* reader, unsigned threads);

TARN_API tarn_result tarn_reader_info(const tarn_reader* reader, tarn_archive_info* info);
TARN_API size_t tarn_reader_entry_count(const tarn_reader* reader);
TARN_API tarn_result tarn_reader_entry(tarn_reader* reader, size_t index, tarn_entry* entry);
/* The index of the first entry of exactly this stored name ('/' is taken as
 * '\\'); TARN_ERROR_NOT_FOUND when there is none. */
TARN_API tarn_result tarn_reader_find(const tarn_reader* reader, const char* name, size_t* index);
/* Whether a stored name matches a pattern as tarnc's x and t match them:
 * '*' any run of characters (also across '\\'), '?' one, byte for byte. */
TARN_API int tarn_name_matches(const char* pattern, const char* name);

/* In the calls below `indices` lists the entries to work on, in any order
 * (they are worked on in table order), or is null for all of them. Damage
 * is reported per entry and the call goes on with the next, as tarnc's t and
 * x do: such calls return TARN_ERROR_DAMAGED_ENTRY at the end when any entry
 * failed its check, after writing what could be decoded. Other failures
 * (I/O, a damaged table) end the call at once. */

typedef struct tarn_summary {
  uint64_t entries;   /* entries worked on */
  uint64_t damaged;   /* entries whose bytes failed their check */
  uint64_t refused;   /* entries not written (existing files kept, unsafe paths, links on the path) */
  uint64_t bytes;     /* bytes of the entries worked on */
  uint32_t reserved[8];
} tarn_summary;

/* Decodes the entries and checks their CRC, writing nothing. `summary` may
 * be null. */
TARN_API tarn_result tarn_test(tarn_reader* reader, const size_t* indices, size_t count, tarn_summary* summary);

/* The bytes of the entries, one after the other in table order, to `write`
 * (directories give none). */
TARN_API tarn_result tarn_extract_to_callback(tarn_reader* reader, const size_t* indices, size_t count,
                                              tarn_write_fn write, void* opaque, tarn_summary* summary);
/* The same to an open file descriptor (POSIX) or C runtime descriptor. */
TARN_API tarn_result tarn_extract_to_fd(tarn_reader* reader, const size_t* indices, size_t count, int fd,
                                        tarn_summary* summary);
/* One entry's bytes in memory: `*data` (free it with tarn_free) and `*size`. */
TARN_API tarn_result tarn_extract_to_memory(tarn_reader* reader, size_t index, void** data, size_t* size);

enum {
  TARN_OVERWRITE_NEVER = 0,      /* an existing file is kept; the entry is refused (TARN_ERROR_EXISTS) */
  TARN_OVERWRITE_ALWAYS = 1,     /* an existing file is replaced (as tarnc x does) */
  TARN_OVERWRITE_SKIP = 2,       /* an existing file is kept, silently */
  TARN_OVERWRITE_KEEP_NEWER = 3  /* an existing file newer than the entry is kept; older ones are replaced */
};

typedef struct tarn_extract_options {
  int overwrite;  /* TARN_OVERWRITE_* */
  int flat;       /* nonzero: every file into the directory itself, without its stored directories */
  uint32_t reserved[8];
} tarn_extract_options;

TARN_API void tarn_extract_options_init(tarn_extract_options* options);

/* Extracts the entries below `directory` (created if missing), with the
 * safety rules of tarnc x: nothing is written outside the directory, links
 * on the way are never followed, every file is written beside its place and
 * renamed when complete, with its time and permission bits. A refused entry
 * is a NOTE event and the call goes on; it then returns TARN_ERROR_EXISTS or
 * TARN_ERROR_REFUSED at the end (TARN_ERROR_DAMAGED_ENTRY comes first).
 * `options` may be null for the defaults. */
TARN_API tarn_result tarn_extract_to_directory(tarn_reader* reader, const size_t* indices, size_t count,
                                               const char* directory, const tarn_extract_options* options,
                                               tarn_summary* summary);

/* A stream of one entry's bytes, decoded as it is read. */
typedef struct tarn_entry_stream tarn_entry_stream;

TARN_API tarn_result tarn_entry_open(tarn_reader* reader, size_t index, tarn_entry_stream** stream);
/* Reads up to `size` bytes; `*got` is 0 only at the end. When the end is
 * reached, the entry's CRC is checked: a read that reaches the end of a
 * damaged entry returns TARN_ERROR_DAMAGED_ENTRY (with what could be
 * decoded before it already read). */
TARN_API tarn_result tarn_entry_read(tarn_entry_stream* stream, void* buffer, size_t size, size_t* got);
TARN_API void tarn_entry_close(tarn_entry_stream* stream);

/* ---- Writing ------------------------------------------------------------ */

typedef struct tarn_writer tarn_writer;

typedef struct tarn_write_options {
  int method;                 /* TARN_METHOD_*: TARN_METHOD_NORMAL by default */
  unsigned disabled_filters;  /* TARN_FILTER_* bits */
  int solid;                  /* nonzero: small files are packed together in solid groups */
  unsigned threads;           /* 0: one per core; the archive does not depend on it */
  const char* sfx_stub;       /* a self-extractor stub to put in front, or null */
  tarn_event_fn events;       /* progress and notes of tarn_writer_close, or null */
  void* events_opaque;
  uint32_t reserved[8];
} tarn_write_options;

/* Fills `options` with the defaults: Normal, every filter, no solid groups. */
TARN_API void tarn_write_options_init(tarn_write_options* options);

/* Starts a new archive at `path`. Nothing is written there until
 * tarn_writer_close, which writes the archive beside it and renames it into
 * place: an archive of that name stays as it was until then, and after a
 * failure. `options` may be null for the defaults. */
TARN_API tarn_result tarn_writer_open(tarn_writer** writer, const char* path, const tarn_write_options* options);
/* Starts from the entries of the existing archive at `path`, for adding,
 * replacing and removing entries. Packed pieces that do not change are
 * copied byte for byte; a solid group that loses or replaces a member is
 * packed again. New entries use the archive's method. */
TARN_API tarn_result tarn_writer_open_update(tarn_writer** writer, const char* path,
                                             const tarn_write_options* options);

/* Adds the file at `path` under `stored_name` (null: `path` itself, '/'
 * taken as '\\'), with its size, time and permission bits as they are now.
 * The file is read when the archive is written; it must still be there then. */
TARN_API tarn_result tarn_writer_add_file(tarn_writer* writer, const char* path, const char* stored_name);
/* Adds a directory entry for the directory at `path` (its time and bits). */
TARN_API tarn_result tarn_writer_add_directory(tarn_writer* writer, const char* path, const char* stored_name);
/* Tells tarn_writer_add_tree what to leave out: nonzero for `path` (a
 * directory is then left out with everything below it). */
typedef int (*tarn_filter_fn)(void* opaque, const char* path, int is_directory);
/* Adds the directory at `path` with everything below it, as tarnc c -r -d
 * selects them: a directory entry for each directory, files in byte order
 * of their names, each directory's files before its subdirectories. Stored
 * names start with `stored_name` (null: `path`) in place of `path`. `filter`
 * may be null. Symbolic links to files are added as the files; links to
 * directories, fifos, devices and sockets are left out. */
TARN_API tarn_result tarn_writer_add_tree(tarn_writer* writer, const char* path, const char* stored_name,
                                          tarn_filter_fn filter, void* opaque);
/* Adds `size` bytes (copied now) under `stored_name`, with last-write time
 * `mtime` (seconds since 1970, UTC) and permission bits `mode` (0: 0644). */
TARN_API tarn_result tarn_writer_add_memory(tarn_writer* writer, const char* stored_name, const void* data,
                                            size_t size, int64_t mtime, uint32_t mode);
/* Adds what `read` gives until its end, read now into a temporary file
 * beside the archive (removed when the writer goes), so that its length
 * need not be known and memory stays small. */
TARN_API tarn_result tarn_writer_add_callback(tarn_writer* writer, const char* stored_name, tarn_read_fn read,
                                              void* opaque, int64_t mtime, uint32_t mode);
/* Removes the entries whose stored names match `pattern` (see
 * tarn_name_matches), those added and those of an updated archive; `*count`
 * (may be null) tells how many. */
TARN_API tarn_result tarn_writer_remove(tarn_writer* writer, const char* pattern, size_t* count);

/* Writes the archive and frees the writer, whatever the result. Adding an
 * entry of a name that is already there replaces it. */
TARN_API tarn_result tarn_writer_close(tarn_writer* writer);
/* Frees the writer without writing anything (null is allowed). */
TARN_API void tarn_writer_abort(tarn_writer* writer);

/* ---- One buffer --------------------------------------------------------- */

/* Packs `size` bytes into a one-entry archive in memory (`*out`, free it
 * with tarn_free), with `method` (TARN_METHOD_*). */
TARN_API tarn_result tarn_compress(const void* data, size_t size, int method, void** out, size_t* out_size);
/* Unpacks an archive of one entry in memory: its bytes in `*out` (free it
 * with tarn_free). */
TARN_API tarn_result tarn_decompress(const void* data, size_t size, void** out, size_t* out_size);

#ifdef __cplusplus
}
#endif

#endif /* TARN_TARN_H */
