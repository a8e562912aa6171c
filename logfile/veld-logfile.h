// veld-logfile: log collection and the one link to the collector.  A line
// travels: the source lists name its file, the tailer reads it, SendLog puts
// it on the link.  Each section below names the file behind it.  The rooms
// inside, each with its own small header:
//   identity  veld-logfile-identity.h   device, inode, birth, owner; digests
//   records   veld-logfile-record.h     the record format, batches, the reader
//   reaching  veld-logfile-path.h       the rule for what may be touched; checked walks
//             veld-logfile-look.h       what a tailed path leads to, each pass
//   following veld-logfile-follow.h     a file across rotation (follow.cpp, the
//                                       case table; follow-find.cpp, the
//                                       searches; hold.cpp, held descriptors)
//             veld-logfile-readers.h    which node read each file last
//   tailer    veld-logfile-tail.h       passes (tail.cpp) and turns (turn.cpp)
//             veld-logfile-watch.h      waking on change
//             veld-logfile-position.h   one line of the position file
//             veld-logfile-stats.h      the agent's own figures
//   rotation  veld-logfile-rotate.h     backups and the copy beneath them
//   the link  veld-logfile-link.h       its state, shared by link and send
//             veld-logfile-transport.h  what is spoken on its socket
//             veld-logfile-format.h     plain or rfc5424 records
//             veld-logfile-tls.h        the TLS session under tls and relp-tls
//             veld-logfile-openssl.h    OpenSSL, loaded at the first TLS link
//             veld-logfile-relp.h       RELP frames and responses
#ifndef VELD_LOGFILE_H
#define VELD_LOGFILE_H

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "veld-threads.h"

namespace logfile {
struct FileState;
}

// ---- source lists (veld-logfile-lists.cpp) ---------------------------------
// Both lists only grow.  Nodes are complete before they are linked; links are
// published with release and read with acquire, so the tailer may walk while
// the directory scanner appends.  Nodes are never freed.

// A tailed file.
typedef struct LogFileList_ {
  char *log_file;                           // owned path
  uint64_t filesize;                        // read offset; tailer only once it runs
  uint64_t timestamp;                       // carried through the position file
  std::atomic<struct LogFileList_ *> next;  // next node or null

  // The tailer's own bookkeeping for this file, made at its first visit
  // (veld-logfile-follow.h); tailer only.
  logfile::FileState *state;
  bool no_follow;  // found by the directory scan: never follow a link to it
  // A scanned file that is gone and was read to its end is forgotten: the
  // tailer retires its node (no state, no line in the position file) and
  // the scanner gives the node to the next file it finds, so the list is
  // bounded by the files that exist at once.  Published with release, read
  // with acquire: a retired node's other fields belong to the scanner.
  std::atomic<bool> retired;
  // Appender only: a node known to lie at or behind this node's tail, so an
  // append need not walk the whole list again.
  std::atomic<struct LogFileList_ *> tail_hint;
} LOGFILE_LIST, *P_LOGFILE_LIST;

// A watched directory; the list is complete before the workers start.
typedef struct LogDirList_ {
  char *log_dir;
  std::atomic<struct LogDirList_ *> next;
  std::atomic<struct LogDirList_ *> tail_hint;  // as in LOGFILE_LIST
} LOGDIR_LIST, *P_LOGDIR_LIST;

extern std::atomic<P_LOGFILE_LIST> LogFileList;      // head of tailed files
extern std::atomic<P_LOGDIR_LIST> LogDirectoryList;  // head of watched directories

// A new node owning `file` / `dir`, or null.
P_LOGFILE_LIST LogFileNew(char *file);
P_LOGDIR_LIST LogDirectoryNew(char *dir);
// Links `p` behind the tail of the list that `l` belongs to; 0 for a null `l`.
int LogFileAdd(P_LOGFILE_LIST l, P_LOGFILE_LIST p);
int LogDirectoryAdd(P_LOGDIR_LIST l, P_LOGDIR_LIST p);
// The node becomes the head of the empty list or goes behind its tail;
// false for a null node.  The one appender's way in.
bool LogFileListAppend(P_LOGFILE_LIST node);
// The tailer retires a node; the scanner takes retired nodes back, one at
// a time (null when there is none), to give them new paths.
void LogFileRetire(P_LOGFILE_LIST node);
P_LOGFILE_LIST LogFileTakeRetired();
bool LogDirectoryListAppend(P_LOGDIR_LIST node);

// ---- position file (veld-logfile-position.cpp) -----------------------------
// One "path=offset,timestamp" line per tailed file.  Reading matches paths
// case-insensitively to the first node and counts a missing file as read
// (1); 0 only for a null path.  Writing replaces the file atomically: 1 when
// the new file is in place, 0 with the old file kept.
int LogFileReadWatchdogFile(const char *watchdog_file);
int LogFileWriteWatchdogFile(const char *watchdog_file);
// Reads the position file and logs the outcome the way start-up and the
// tailer both report it; returns what LogFileReadWatchdogFile returned.
int LogFileLoadPositions(const char *watchdog_file);

// ---- tailer (veld-logfile-tail.cpp) ----------------------------------------
// LogFileThread never returns; each of its passes is LogFilePass (every node
// once, then the position file), then 10 seconds.  IgnoreList
// (veld-logfile-look.cpp) holds the extensions never read, null-ended.
extern const char *const IgnoreList[];
void *LogFileThread(void *vkp);
void LogFilePass(const char *watchdog_file);
void LogFileProcess(P_LOGFILE_LIST vkp);
// Drops the tailer's bookkeeping of a node that is no longer tailed: the
// descriptors it holds are closed and no file is known as read by it.
// Tailer thread only, or while no tailer runs.
void LogFileForget(P_LOGFILE_LIST node);

// ---- what the agent reports of itself (veld-logfile-stats.cpp) ------------
// Counters since the start, and what the last look at every file found.
typedef struct LogFileStats_ {
  uint64_t lines_sent;             // log-line records the collector took
  uint64_t bytes_sent;             // their bytes
  uint64_t backlog_bytes;          // bytes not yet sent, over every tailed file
  uint64_t oldest_unsent_seconds;  // how long the oldest of them has waited
  uint64_t files_tailed;           // tailed paths that lead to a file
  uint64_t held_deleted_files;     // files with no name left, held until sent
  uint64_t held_deleted_bytes;     // what those pin
  uint64_t reconnects;             // times the link was opened again
  uint64_t records_dropped;        // metric records lost to outages, lines let go at the hold cap
  uint64_t wakeups;                // times the tailer woke on change events
} LOGFILE_STATS;
void LogFileGetStats(LOGFILE_STATS *out);

// ---- rotation (veld-logfile-rotate.cpp; copying: veld-logfile-copy.cpp) ----
// rotate_log returns 1 when the live file was copied to backup 0 and emptied;
// 0 when it stopped early, leaving the remaining files as they were.
// copy_file returns 1 when the whole source reached the destination.
// full_write returns the bytes written, short only when a write failed.
int rotate_log(const char *cur_fname);
int copy_file(const char *src_filename, const char *dest_filename);
size_t full_write(int desc, const void *ptr, size_t len);

// ---- directory scanner (veld-logfile-scan.cpp) -----------------------------
// LogDirectoryThread never returns; each period is LogDirectoryScanPass
// (LogDirectoryProcess on every watched directory), then 15 seconds.  It is
// the list's one appender once the workers run and keeps its own index of the
// tailed paths, so only one thread may scan.
void *LogDirectoryThread(void *vkp);
void LogDirectoryScanPass();
void LogDirectoryProcess(P_LOGDIR_LIST vkp);

// ---- collector link (veld-logfile-link.cpp; sending: veld-logfile-send.cpp) --
// The one outbound link.  Every producer sends through SendLog; SocketMutex is
// held for each whole send, including the close and reconnection after a
// failure.  LogInit and SendLog return 1 for connected / sent; the inner
// operations return 0 for success and 1 for failure (NetClose returns the
// close result).  LogInit, the Net...Connect operations and NetClose are in
// veld-logfile-link.cpp, NetSend and SendLog in veld-logfile-send.cpp.
typedef struct SocketData_ {
  int socket;                   // link descriptor; -1 while closed
  struct sockaddr_in sockaddr;  // collector address as last resolved
  int port;                     // RemotePort, host order (low 16 bits used)
  int proto;                    // 0 = UDP, 1 = TCP, 2 = TLS, 3 = RELP, 4 = RELP over TLS
  char *server;                 // RemoteHost, heap copy owned by the record
} SOCKET_DATA, *P_SOCKET_DATA;

extern P_SOCKET_DATA sockData;  // the link; created by LogInit
extern P_MUTEX SocketMutex;     // serialises every use of sockData

int LogInit();
int SendLog(const char *msg);
int NetSend(P_SOCKET_DATA data, const char *payload);
int NetConnect(P_SOCKET_DATA op_data);
int UDPConnect(P_SOCKET_DATA op_data);
int TCPConnect(P_SOCKET_DATA op_data);
int NetClose(P_SOCKET_DATA op_data);

// The head of a record in the configured format (veld-logfile-format.cpp):
// "<stamp> VELDUnixLog: " or the rfc5424 header, with the metric tag when
// `metric`, into `out` (LOG_RECORD_HEAD_MAX bytes at least); its length.
// Whether a record's line end belongs to it (plain) or not (rfc5424).
#define LOG_RECORD_HEAD_MAX 384
size_t LogRecordHead(char *out, unsigned long stamp, bool metric);
bool LogRecordKeepsLineEnd();

#endif
