// The platform layer: the one place that touches the operating system,
// shaped by what the code above needs. The Windows services that each part
// stands on are named in its heading; the POSIX backend lives in posix/,
// the Windows one in win32/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/secret.h"

// ---- Strings (lstrcmpA, lstrcmpiA) ----------------------------------------

// 0 when both texts are equal byte for byte.
int platform_compare(const char* a, const char* b);
// 0 when both texts are equal ignoring ASCII case.
int platform_compare_nocase(const char* a, const char* b);

// ---- Files ------------------------------------------------------------------

// True when a file of that name exists and can be opened for reading
// (OpenFile with OF_EXIST). A directory is not a file here.
bool platform_file_exists(const char* name);

// True when the name is that of a folder (following links).
bool platform_is_folder(const char* name);

// An open message file. Opaque to the code above.
struct PlatformFile {
  std::intptr_t handle = -1;
};

// Opens an existing file for reading, others may only read it meanwhile
// (CreateFileA, OPEN_EXISTING). 0 on success.
int platform_open_for_reading(const char* name, PlatformFile* file);
// True when the open file is a disk file (GetFileType == FILE_TYPE_DISK):
// a regular file, not a device, a pipe, a socket or a terminal.
bool platform_is_disk_file(const PlatformFile& file);
// The file's size in bytes (GetFileSize). 0 on success.
int platform_file_size(const PlatformFile& file, std::uint64_t* size);
// True when the open file lives in a file system whose sizes tell nothing
// of the content (Linux's /proc and /sys); false on Windows.
bool platform_is_pseudo_file(const PlatformFile& file);
// Moves the read position to offset bytes from the file's start. 0 or -1.
int platform_seek_file(const PlatformFile& file, std::uint64_t offset);
// Reads exactly size bytes into buffer (ReadFile). 0 on success; a read
// error, or an end of file before size bytes, is a failure, unless got is
// given: an early end then succeeds too, with the count read in *got.
int platform_read_exactly(const PlatformFile& file, char* buffer, std::uint64_t size,
                          std::uint64_t* got = nullptr);
void platform_close_file(PlatformFile* file);

// ---- Large buffers (VirtualAlloc) -------------------------------------------

// A buffer for a whole message. Opaque to the code above but for data.
struct LargeBuffer {
  char* data = nullptr;
  std::size_t reserved = 0;  // bytes mapped, for the release
};

// Reserves size bytes (at least 1) for one message text: pages cost memory
// only once written, and the kernel may back the buffer with huge pages so
// that filling it takes few page faults. 0 on success; -1 when the address
// space or memory does not allow it (*buffer then stays empty).
int platform_reserve_large(std::uint64_t size, LargeBuffer* buffer);
// Gives the buffer back; an empty one is left as it is.
void platform_release_large(LargeBuffer* buffer);

// ---- Temporary files and console input --------------------------------------

// The folder for temporary files, ending with the path separator
// (GetTempPathA): $TMPDIR or /tmp on POSIX. 0 on success.
int platform_temp_dir(std::string* dir);
// Results of platform_capture_console_input.
constexpr int kCaptureCantCreate = -1;   // no temporary file could be made
constexpr int kCaptureWriteFailed = -2;  // writing the temporary file failed
constexpr int kCaptureReadFailed = -3;   // reading console input failed

// Creates a new temporary file in dir whose name starts with prefix (name
// in *name; empty when none was made), readable by its owner only, never
// reusing or following an existing name (GetTempFileNameA), and copies
// console input into it as text: a CR LF pair arrives as LF, the first
// Ctrl-Z (26) or the end of input ends it, and every LF is stored as CR LF.
// The same open file is left in *file, positioned at its start, so what is
// read back is what was written. Until platform_discard_temp_file, an
// interrupt or termination signal removes the file before the process ends.
// 0 or a kCapture code; the file may exist (and *file be open) on failure.
int platform_capture_console_input(const std::string& dir, const char* prefix, std::string* name,
                                   PlatformFile* file);
// Deletes the temporary file (once closed) and stops guarding it.
void platform_discard_temp_file(const std::string& name);

// Reads what is left of the open file up to its end, appending it to
// *bytes: for files whose size says 0 although they have content. 0, or -1
// on a read error or when memory does not allow it.
int platform_read_to_end(const PlatformFile& file, std::string* bytes);

// ---- The process ---------------------------------------------------------------

// Makes the process safe to run from anywhere, before anything else: a
// standard descriptor that is closed is opened on the null device (so no
// file or connection can take its place), and a reader that went away
// makes writes fail instead of ending the process.
void platform_prepare_process();

// ---- Console output -----------------------------------------------------------

// Writes bytes to standard output at once.
void platform_write_stdout(const char* data, std::size_t length);
// Writes bytes to standard error at once (the transcript of -debug).
void platform_write_stderr(const char* data, std::size_t length);
// True when standard error is a terminal (Windows: a console).
bool platform_stderr_is_terminal();
// Shows line on standard error's terminal in place of the line shown there
// before (the cursor stays on it); an empty line clears it.
void platform_show_status_line(const std::string& line);
// Milliseconds from some fixed moment, never going back.
std::int64_t platform_monotonic_ms();

// ---- The log file of -log (CreateFileA with FILE_APPEND_DATA) ---------------------

// Why a log file is refused.
enum LogRefusal {
  kLogNotOpened = -1,   // no such folder, no access
  kLogLink = -2,        // a symbolic link (or, on Windows, a reparse point)
  kLogNotFile = -3,     // a FIFO, a device, a socket, a folder, a pipe name
  kLogOtherOwner = -4,  // a file that belongs to another user
};
// Opens the file for appending, never through a final symbolic link and
// never waiting: a regular file of the running user (created readable and
// writable by its owner alone, 0600 on POSIX; an existing one keeps its
// mode) or the null device. It is never truncated. 0, or a LogRefusal.
int platform_open_log(const char* name, PlatformFile* log);
// Appends the bytes in one write, so that the lines of two runs at once
// never tear each other. A failure is not reported: the run goes on.
void platform_append_log(const PlatformFile& log, const char* data, std::size_t length);

// ---- Local time and zone (GetLocalTime, GetTimeZoneInformation) -----------------

struct LocalTime {
  int year = 1970;      // in full
  int month = 1;        // 1 to 12
  int day_of_week = 4;  // 0 = Sunday
  int day = 1;          // day of the month
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Minutes such that UTC = local time + the bias in force.
struct ZoneRecord {
  long bias = 0;
  long standard_bias = 0;
  long daylight_bias = 0;
};

// The period code: 1 means standard time is in force.
constexpr int kPeriodStandard = 1;
constexpr int kPeriodDaylight = 2;

// Fills the local time, the zone record and its period code for this moment.
// When the zone cannot be had, the record is all zero and the period standard.
void platform_local_time(LocalTime* time, ZoneRecord* zone, int* period);

// ---- Run-time loading (LoadLibraryA, GetProcAddress, FreeLibrary) ---------------

// Loads a library by its Windows name ("gwinsock.dll", "gensock.dll"); the
// POSIX backend maps the name to a shared object and looks for it beside the
// executable first. Null on failure.
void* platform_load_library(const char* name);
// The path of the file a loaded library came from; empty when unknown.
std::string platform_library_path(void* library);
void* platform_find_symbol(void* library, const char* name);
// Binds a table's members to a library's entry points as the table is made
// (`decltype(&f) f = bind("f");`); missing when the library or one is not found.
struct PlatformBinder {
  struct Symbol {
    void* address;
    template <typename F>
    operator F*() const {
      return reinterpret_cast<F*>(address);
    }
  };
  void* library;
  bool missing = library == nullptr;
  Symbol operator()(const char* name) {
    void* address = library != nullptr ? platform_find_symbol(library, name) : nullptr;
    missing = missing || address == nullptr;
    return {address};
  }
};
void platform_free_library(void* library);

// ---- Stored settings (the registry key HKEY_LOCAL_MACHINE\SOFTWARE\Wendfield\Quib) --

// A setting's text: at most 255 characters and the NUL, as the registry value
// is read with 256 bytes of room.
constexpr std::size_t kSettingBytes = 256;

// Results of platform_read_setting and platform_write_setting.
constexpr int kSettingKeyFailed = -1;    // the key cannot be opened (read) or created (write)
constexpr int kSettingValueFailed = -2;  // the value cannot be read or written

// Reads the string setting name into text (kSettingBytes of room): the
// stored bytes up to the first NUL, whatever type they were stored as. A
// value needing more than kSettingBytes, or filling them without a NUL,
// fails. 0 or a kSetting code; text is written only on success.
int platform_read_setting(const char* name, char* text);
// Writes text and its NUL as the string setting name, replacing the earlier
// value atomically and creating the key when needed; readable by every
// user. 0 or a kSetting code.
int platform_write_setting(const char* name, const char* text);

// ---- Login secrets (POSIX: the netrc file; Windows: the Credential Manager, CredReadA) --

// Results of platform_read_netrc and platform_read_credential.
constexpr int kSecretAbsent = -1;        // no such file or credential
constexpr int kSecretOpenToOthers = -2;  // the netrc file can be read by group or others
constexpr int kSecretNoStore = -3;       // the platform has no such store

// The user's netrc file ($NETRC, else $HOME/.netrc): its name in *path (also
// on failure, when one is known) and its text in *text. A file that group or
// others can read is refused, as ftp and ssh refuse it. 0 or a kSecret code.
int platform_read_netrc(std::string* path, Secret* text);
// The generic credential `target` for `user` (what "cmdkey /generic:<target>
// /user:<user> /pass" stores), its UTF-16 secret as UTF-8. 0 or a kSecret code.
int platform_read_credential(const std::string& target, const std::string& user, Secret* secret);
// Once a secret is held: no core dump of the process, where the system lets
// a process ask that (POSIX: PR_SET_DUMPABLE 0).
void platform_protect_secrets();

// ---- A secret from a command (-passcmd: CreateProcessA, a job object) ---------

// Results of platform_run_command.
constexpr int kCommandFailed = -1;    // it could not be started, or ended with a status not 0
constexpr int kCommandKilled = -2;    // it was ended by a signal
constexpr int kCommandTimedOut = -3;  // it ran past its time and was killed
constexpr int kCommandNoOutput = -4;  // its first line is empty

// Runs `command` through the shell (/bin/sh -c; cmd /c) with this
// process's environment, standard input closed (the null device) and
// standard error inherited, for at most `seconds`, after which it is killed
// with its children. *first_line gets the first line of its standard output
// without its LF or CR LF. 0 or a kCommand code; *code gets the exit status
// or the signal's number (the status shown to the user).
int platform_run_command(const std::string& command, int seconds, Secret* first_line, int* code);

// ---- Private files: the OAuth file (CreateFileA, LockFileEx, MoveFileExA) ----------

// Reads a file that only its owner may read (POSIX: no group or other bits;
// Windows: a DACL granting no one but the owner, SYSTEM and Administrators).
// 0, kSecretAbsent or kSecretOpenToOthers.
int platform_read_private_file(const std::string& path, Secret* text);

// An exclusive lock held on a file of its own. Opaque to the code above.
struct PlatformLock {
  std::intptr_t handle = -1;
};
// Creates lock_path (owner-only) when needed and waits until this process
// holds the exclusive lock on it (flock; LockFileEx). 0 or -1.
int platform_lock(const std::string& lock_path, PlatformLock* lock);
void platform_unlock(PlatformLock* lock);

// True when a new file can be created in the folder that holds path.
bool platform_folder_writable(const std::string& path);
// Replaces the file at path with text, atomically: a new owner-only file in
// the same folder, written, flushed and renamed over path. 0 or -1.
int platform_replace_file(const std::string& path, std::string_view text);

// Waits this many milliseconds (Sleep).
void platform_sleep_ms(int milliseconds);
// Loads a library by its exact file name ("libcurl.so.4") from the
// system's search path. Null on failure.
void* platform_load_system_library(const char* name);

// ---- The queue's folder and files (CreateDirectoryA, MoveFileExA,
// ---- FlushFileBuffers, LockFileEx, MapViewOfFile) ----------------------------

// Results of the queue's folder and file calls.
constexpr int kFolderOpenToOthers = -2;  // group or others may write the folder, or not ours
constexpr int kLockBusy = -2;            // another process holds the entry
constexpr int kEntryGone = -3;           // the entry was removed or replaced meanwhile

// The queue folder: $QUIB_QUEUE_DIR, else $XDG_STATE_HOME/quib/queue (or
// ~/.local/state/quib/queue); Windows: %LOCALAPPDATA%\Quib\queue. The
// separator is '/' on POSIX and '\' on Windows. 0, or -1 when no home is known.
int platform_queue_dir(std::string* dir);
// The path separator of the platform.
char platform_path_separator();
// Makes the folder (and missing parents) readable and writable by its owner
// only (0700; Windows: the owner, SYSTEM and Administrators) and checks that
// an existing one is a folder of ours that group and others cannot write. 0,
// kFolderOpenToOthers, or -1 with the reason in *why.
int platform_make_private_folder(const std::string& dir, std::string* why);
// What follows a stored file's head, pulled a block at a time: next(context,
// &bytes, &length) gives 1 with a block, 0 at the end, -1 when the rest
// cannot be had.
struct PlatformTail {
  int (*next)(void* context, const char** bytes, std::size_t* length);
  void* context;
};
// Writes head, then every block of tail as it is pulled, as the new file
// tmp_path (owner only, never an existing name), flushes it to the disk,
// renames it to path and flushes the folder: a crash leaves either no file
// at path or the whole one. On failure (tail's included) nothing is left at
// tmp_path and *why says what failed.
int platform_store_durably(const std::string& tmp_path, const std::string& path,
                           const std::string& head, const PlatformTail& tail, std::string* why);
// Renames from to `to` (replacing it) and flushes the folders. 0 or -1.
int platform_move_durably(const std::string& from, const std::string& to);
// Deletes the file. 0 or -1.
int platform_remove_file(const std::string& path);
// The names of the plain files in dir, sorted. 0, or -1 when it cannot be read.
int platform_list_files(const std::string& dir, std::vector<std::string>* names);
// Opens the file for reading and takes an exclusive lock on it without
// waiting; the lock goes when the file is closed or the process ends. 0,
// kLockBusy, kEntryGone (no such file, or it was removed or replaced before
// the lock was had) or -1.
int platform_open_locked(const std::string& path, PlatformFile* file);
// The path made absolute against the current folder (GetFullPathNameA);
// as given when that cannot be done.
std::string platform_absolute_path(const std::string& path);

// ---- What a Message-ID is made of (time, CryptGenRandom, GetComputerNameExA) ------

// Seconds since 1970-01-01 UTC.
std::int64_t platform_now_seconds();
// Fills the buffer with bytes from the system's random source.
void platform_random_bytes(void* buffer, std::size_t length);
// The machine's host name, for a Message-ID; "localhost" when none is known.
std::string platform_host_name();
