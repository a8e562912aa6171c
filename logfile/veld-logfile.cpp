// veld-logfile: the log sources and everything done with them short of the
// link to the collector (veld-logfile-link.cpp).
//
// Two lists name the sources: the tailed files and the watched directories.
// Both only grow; a node is complete before it is linked, the link is stored
// with release and walked with acquire, so the tailer walks the file list
// while the directory scanner appends to it, without a lock.  The tailer
// reads what each file has gained since its stored offset and hands every
// line, behind a stamped prefix, to SendLog; after each pass it saves the
// offsets in the position file, so a restart resumes where the last pass
// ended.  A file grown past the rotation limit is copied into numbered
// "._hlr_" backups and emptied in place.  The scanner lists the watched
// directories and appends every regular file it has not seen.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "veld-config-unix.h"
#include "veld-logfile.h"

std::atomic<P_LOGFILE_LIST> LogFileList{nullptr};
std::atomic<P_LOGDIR_LIST> LogDirectoryList{nullptr};

// ------------------------------------------------------------------- lists

namespace {

// Walks from `l` to the tail of its list.  `l->tail_hint`, when set, is a node
// that an earlier walk from `l` reached, so starting there ends at the same
// tail; appending therefore costs the nodes added since, not the whole list.
template <typename Node>
Node *TailFrom(Node *l) {
  Node *cur = l->tail_hint.load(std::memory_order_relaxed);
  if (cur == nullptr) cur = l;
  for (Node *n = cur->next.load(std::memory_order_acquire); n != nullptr;
       n = n->next.load(std::memory_order_acquire))
    cur = n;
  return cur;
}

template <typename Node>
int AppendAfterTail(Node *l, Node *p) {
  if (l == nullptr) return 0;
  Node *tail = TailFrom(l);
  tail->next.store(p, std::memory_order_release);
  l->tail_hint.store(p, std::memory_order_relaxed);
  return 1;
}

}  // namespace

P_LOGFILE_LIST LogFileNew(char *file) {
  P_LOGFILE_LIST node = new (std::nothrow) LOGFILE_LIST{};
  if (node == nullptr) return nullptr;
  node->log_file = file;
  return node;
}

int LogFileAdd(P_LOGFILE_LIST l, P_LOGFILE_LIST p) { return AppendAfterTail(l, p); }

P_LOGDIR_LIST LogDirectoryNew(char *dir) {
  P_LOGDIR_LIST node = new (std::nothrow) LOGDIR_LIST{};
  if (node == nullptr) return nullptr;
  node->log_dir = dir;
  return node;
}

int LogDirectoryAdd(P_LOGDIR_LIST l, P_LOGDIR_LIST p) { return AppendAfterTail(l, p); }
